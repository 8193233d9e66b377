// How the worker turns a path text into the path it works on.
#pragma once

#include <string>
#include <string_view>

namespace talmek::scrivel {

// Path(text).expanduser().resolve() as text. Throws OpError with Python's message when the home
// directory cannot be determined ("Could not determine home directory.") or the text cannot be
// encoded for the OS.
std::string resolve_path(std::string_view text);

// os.fsencode(text): the bytes handed to system calls. Throws OpError with the codec's message
// for a surrogate that is not an escaped byte.
std::string os_path(std::string_view text);

}  // namespace talmek::scrivel
