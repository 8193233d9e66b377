// Windows path texts as CPython's ntpath and PureWindowsPath treat them: pure text, no system
// calls, so that the Windows implementation of the layer uses them and the tests on any system
// compare them with ntpath and PureWindowsPath themselves. Texts are WTF-8 (common/text.h).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace talmek::os::ntpath {

struct Root {
  std::string_view drive, root, tail;
};

// ntpath.splitroot: "C:" "\\" "x\\y"; "\\\\server\\share" "\\" "x"; "" "\\" "x"; "C:" "" "x".
// Views into `p` (either separator accepted, none rewritten).
Root splitroot(std::string_view p) noexcept;

// ntpath.isabs.
bool isabs(std::string_view p) noexcept;

// ntpath.normpath (the portable version: separators made "\\", "." and ".." resolved textually).
std::string normpath(std::string_view p);

// PureWindowsPath(p)'s parts (_parse_path): drive, root and the non-empty components.
struct Parsed {
  std::string drive, root;
  std::vector<std::string> tail;
};
Parsed parse(std::string_view p);
// PureWindowsPath._format_parsed_parts; "" for no parts at all.
std::string format(const Parsed& parts);
// str(PureWindowsPath(p)).
std::string normalize(std::string_view p);

// str(PureWindowsPath(p).parent) for a normalized p: a prefix of p, or ".".
std::string_view parent_of(std::string_view normalized);
// PureWindowsPath(p).name for a normalized p.
std::string_view name_of(std::string_view normalized) noexcept;
// True when the normalized path has an anchor and no components ("C:\\", "\\\\srv\\share\\").
bool is_root(std::string_view normalized);

// The lower case of one code point as Windows names are folded here: str.lower() where that is
// one code point (U+0130 becomes "i"), the code point itself otherwise.
char32_t fold_case(char32_t cp) noexcept;
// ntpath.normcase (as its portable version computes it, one code point at a time): separators
// made "\\", letters lower-cased.
std::string normcase(std::string_view p);
// PureWindowsPath ordering: the lower-cased texts compared component by component.
bool path_less(std::string_view a, std::string_view b);

// ntpath.expanduser with the environment read through `getenv` (USERPROFILE, HOMEDRIVE,
// HOMEPATH, USERNAME).
using GetEnv = std::function<std::optional<std::string>(const char* name)>;
std::string expanduser(std::string_view path, const GetEnv& getenv);
// Path(p).expanduser() as text: the first component expanded when the path has no anchor.
// nullopt when the home directory cannot be determined.
std::optional<std::string> expand_first(std::string_view normalized, const GetEnv& getenv);

// Why a component of a caller's path is refused on Windows, or nullopt. A name with a trailing
// dot or space, a ":" (an alternate data stream, or a drive in the middle of a path) or a DOS
// device name (CON, NUL, COM1, ... also with an extension) is not taken as written by the
// system's path rules: it names another file, a stream of a file, or a device. Paths in the
// "\\\\?\\" form pass everything as written and are never refused.
std::optional<std::string> refusal(std::string_view normalized);

}  // namespace talmek::os::ntpath
