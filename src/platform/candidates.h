// Which files the tool examines: the one rule, used by the listing and by the POSIX read-ahead
// alike, so that nothing the listing would pass over is ever opened.
#pragma once

#include <algorithm>
#include <array>
#include <string_view>

#include "platform/ascii.h"

namespace platform {

// A name (or path) whose extension, from its last dot, is ".exe", ".dll" or ".ocx" in any letter
// case, whole: "setup.exe1" is not a candidate.
inline bool IsCandidate(std::string_view name) {
    constexpr std::array<std::string_view, 3> kExtensions = {".exe", ".dll", ".ocx"};
    constexpr std::size_t kExtensionLength = 4;  // the dot and three letters
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || name.size() - dot != kExtensionLength) {
        return false;
    }
    std::array<char, kExtensionLength> extension{};
    for (std::size_t index = 0; index < kExtensionLength; ++index) {
        extension[index] = LowerCaseAscii(name[dot + index]);
    }
    return std::find(kExtensions.begin(), kExtensions.end(),
                     std::string_view(extension.data(), extension.size())) != kExtensions.end();
}

}  // namespace platform
