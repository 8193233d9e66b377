// UTF-16 and the "\\?\" form of paths, for the Windows implementation of the layer.
#pragma once

#include <string>
#include <string_view>

namespace talmek::os::win {

// WTF-8 to UTF-16 and back, exactly: lone surrogates stay lone surrogates both ways.
std::wstring to_wide(std::string_view wtf8);
std::string narrow(std::wstring_view utf16);

// A path as the wide calls take it: separators made "\\", and an absolute path in its "\\?\"
// form ("C:\x" as "\\?\C:\x", "\\srv\share\x" as "\\?\UNC\srv\share\x"), so that it may be
// longer than MAX_PATH and its names are taken as written. Paths already in a device form
// ("\\?\", "\\.\") and relative ones are passed as they are.
std::wstring wide(std::string_view path);

}  // namespace talmek::os::win
