// Collapsing whitespace and telling blank texts.

#include <gtest/gtest.h>

#include <string>

#include "version/text_cleanup.h"

namespace {

std::string Collapsed(std::string text) {
    CollapseWhitespace(text.data());
    return text.c_str();  // up to the terminator the procedure wrote
}

TEST(CollapseWhitespace, KeepsTheLastCharacterOfEveryRun) {
    EXPECT_EQ(Collapsed("Acme   Tools"), "Acme Tools");
    EXPECT_EQ(Collapsed("Acme \tTools"), "Acme\tTools");
    EXPECT_EQ(Collapsed("Acme\t Tools"), "Acme Tools");
    EXPECT_EQ(Collapsed("a \t\n\v\f\rb"), "a\rb");
}

TEST(CollapseWhitespace, ShortensRunsAtEitherEndToOneCharacter) {
    EXPECT_EQ(Collapsed("  Widget"), " Widget");
    EXPECT_EQ(Collapsed("Widget \n"), "Widget\n");
    EXPECT_EQ(Collapsed(" x "), " x ");
    EXPECT_EQ(Collapsed(""), "");
}

TEST(CollapseWhitespace, LeavesNothingOfTheOldTailBehind) {
    std::string text = "two   words";
    CollapseWhitespace(text.data());
    EXPECT_EQ(std::string(text.c_str()), "two words");
    EXPECT_EQ(text[9], '\0');
}

TEST(CollapseWhitespace, TreatsBytesAboveSevenBitsAsText) {
    EXPECT_EQ(Collapsed("M\xC3\xBCller  \xA0\xA0GmbH"), "M\xC3\xBCller \xA0\xA0GmbH");
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
