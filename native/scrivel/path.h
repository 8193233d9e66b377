// How the worker turns a path text into the path it works on.
#pragma once

#include <string>
#include <string_view>

#include "common/paths.h"

namespace talmek::scrivel {

// Path(text).expanduser().resolve() as text. Throws OpError with Python's message when the home
// directory cannot be determined ("Could not determine home directory.") or the text cannot be
// encoded for the OS.
std::string resolve_path(std::string_view text);

// os.fsencode(text): the bytes handed to system calls (see common/paths.h).
using paths::os_path;

}  // namespace talmek::scrivel
