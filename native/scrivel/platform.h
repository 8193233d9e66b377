// Platform rules in one place: path separator, case folding of names, the line separator written
// to files. This build is for POSIX systems; the Windows rules would be added here.
#pragma once

#include <string_view>

namespace talmek::scrivel::platform {

inline constexpr char kSep = '/';
// Written for each "\n" of a text when a file is written in text mode.
inline constexpr std::string_view kLineSeparator = "\n";
// Whether file names compare without regard to letter case (Windows) or exactly (POSIX).
inline constexpr bool kCaseInsensitiveNames = false;

}  // namespace talmek::scrivel::platform
