// Collapsing whitespace and telling blank texts.

#include <gtest/gtest.h>

#include <string>

#include "version/text_cleanup.h"

namespace {

std::string Collapsed(std::string text) {
    CollapseWhitespace(text.data());
    return text.c_str();  // up to the terminator the procedure wrote
}

// Of every run of whitespace its last character stays, at either end too; bytes above seven
// bits are text; nothing of the old tail is left behind the new terminator.
TEST(CollapseWhitespace, KeepsTheLastCharacterOfEveryRun) {
    EXPECT_EQ(Collapsed("Acme   Tools"), "Acme Tools");
    EXPECT_EQ(Collapsed("Acme \tTools"), "Acme\tTools");
    EXPECT_EQ(Collapsed("Acme\t Tools"), "Acme Tools");
    EXPECT_EQ(Collapsed("a \t\n\v\f\rb"), "a\rb");
    EXPECT_EQ(Collapsed("  Widget"), " Widget");
    EXPECT_EQ(Collapsed("Widget \n"), "Widget\n");
    EXPECT_EQ(Collapsed(" x "), " x ");
    EXPECT_EQ(Collapsed(""), "");
    EXPECT_EQ(Collapsed("M\xC3\xBCller  \xA0\xA0GmbH"), "M\xC3\xBCller \xA0\xA0GmbH");
    std::string text = "two   words";
    CollapseWhitespace(text.data());
    EXPECT_EQ(text.substr(0, 10), std::string("two words") + '\0');
}

TEST(IsBlank, EmptyAndWhitespaceOnlyTextsAreBlank) {
    EXPECT_TRUE(IsBlank(""));
    EXPECT_TRUE(IsBlank("   "));
    EXPECT_TRUE(IsBlank(" \t\r\n\v\f"));
    EXPECT_FALSE(IsBlank("  x "));
    EXPECT_FALSE(IsBlank(" \xA0 "));
    EXPECT_FALSE(IsBlank("\x85"));
}

}  // namespace
