// What the two implementations of the layer share with its common part (not for callers).
#pragma once

#include <string>

#include "platform/os.h"

#ifndef _WIN32
struct stat;
#endif

namespace talmek::os::detail {

// The system's text for a Windows error code, as CPython shows it after "[WinError N] "
// (FormatMessageW, trailing white space and dots removed). Only the Windows implementation
// defines it; POSIX never makes a WinError.
std::string win_error_text(int code);

#ifndef _WIN32
// A Stat from the system's struct stat.
void fill_status(const struct stat& s, Stat& st) noexcept;
#endif

// The result resolve() gave `text` earlier in this request (ResolveMemo), or null.
const std::string* remembered(std::string_view text);
// Keeps a result of resolve() for the rest of the request, when a ResolveMemo is active.
void remember(std::string_view text, const std::string& resolved);

// Whether a write failed because the disk (or the user's quota on it) has no more room: what a
// replacement may survive by writing the file in place, into the room it already has.
bool out_of_room(const Error& e) noexcept;

#ifdef _WIN32
// The failure of an os.* call on Windows: [WinError code], with CPython's kind for it.
Error win_error(unsigned long code) noexcept;
// The failure of open() or of a read or write on Windows: the C runtime's errno for the code.
Error crt_error(unsigned long code) noexcept;
#endif

}  // namespace talmek::os::detail
