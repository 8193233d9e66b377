// Path texts as Python's os.path and pathlib treat them on POSIX (no Python.h).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace talmek::paths {

// os.path.expanduser: "~" and "~user" leading components; the text unchanged when the home
// directory cannot be determined.
std::string expanduser(std::string_view path);

// os.getcwd() as text (os.fsdecode of the bytes). Throws talmek::OpError on failure.
std::string getcwd_text();

// os.path.realpath(path) (non-strict) as CPython 3.14 computes it: symlinks followed, missing
// components kept as written, loops left unresolved. Throws OpError when a component cannot be
// encoded for the OS.
std::string realpath(std::string_view path);

// os.fsencode(text): the bytes handed to system calls. Throws OpError with the codec's message
// for a surrogate that is not an escaped byte, and with "embedded null byte" for a NUL, which
// would silently cut the path short at the system call (open() refuses it this way).
std::string os_path(std::string_view text);

// Path.exists() and os.path.exists(): stat() of the path succeeds (links followed). Any failure,
// a text the OS cannot take included, means "no".
bool path_exists(std::string_view text);

// str(Path(text)): separators collapsed, "." components dropped, "" becomes ".".
std::string normalize(std::string_view path);

// The final component of a normalized path (Path.name).
std::string_view name_of(std::string_view path) noexcept;
// The parent of a normalized absolute path (Path.parent).
std::string_view parent_of(std::string_view path) noexcept;
// Path.parent of str(Path(text)), relative or absolute: "." for a single relative component, and a
// "//" root kept as pathlib keeps it on POSIX.
std::string_view pure_parent(std::string_view normalized) noexcept;

// Path(text).mkdir(parents=True, exist_ok=True). Throws OpError as Python words it, naming the
// directory that failed.
void make_dirs(std::string_view path);

// a / b (b relative).
std::string join(std::string_view a, std::string_view b);

}  // namespace talmek::paths
