// Letter case as the tool treats it everywhere: only A to Z and a to z are letters; every other
// byte, multi-byte characters included, is left as it is.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

namespace platform {

constexpr char32_t LowerCaseAscii(char32_t character) {
    return character >= 'A' && character <= 'Z' ? character - 'A' + 'a' : character;
}

constexpr char LowerCaseAscii(char character) {
    return character >= 'A' && character <= 'Z' ? static_cast<char>(character - 'A' + 'a')
                                                : character;
}

inline void LowerCaseAscii(std::string& text) {
    for (char& character : text) {
        character = LowerCaseAscii(character);
    }
}

inline bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return LowerCaseAscii(x) == LowerCaseAscii(y);
           });
}

}  // namespace platform
