// The guard around every operation body: any failure becomes {"success": false, "error": msg}.
#pragma once

#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "common/os_error.h"
#include "platform/os.h"
#include "scrivel/json/value.h"

namespace talmek::scrivel {

// The failure record's text for an allocation that failed (Python's MemoryError has none).
inline constexpr std::string_view kOutOfMemory = "Out of memory";

// Runs body() and returns its record; a failure thrown inside becomes a failure record. This is
// the edge where a system failure (os::Failure, an error value with its paths) is worded, as
// CPython's str() of the OSError; an OpError or other std::exception carries its own text.
// MemoryError's text in Python is empty; we say what happened instead.
template <class Body>
Value guarded(Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (const std::bad_alloc&) {
    return fail_record(std::string(kOutOfMemory));
  } catch (const os::Failure& f) {
    try {
      return fail_record(f.message());
    } catch (const std::bad_alloc&) {
      return fail_record(std::string(kOutOfMemory));
    }
  } catch (const std::exception& e) {
    return fail_record(e.what());
  }
}

}  // namespace talmek::scrivel
