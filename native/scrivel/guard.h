// The guard around every operation body: any failure becomes {"success": false, "error": msg}.
#pragma once

#include <exception>
#include <new>
#include <utility>

#include "common/os_error.h"
#include "scrivel/json/value.h"

namespace talmek::scrivel {

// Runs body() and returns its record; an OpError (or any other std::exception) thrown inside
// becomes a failure record carrying its message. MemoryError's text in Python is empty; we say
// what happened instead.
template <class Body>
Value guarded(Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (const std::bad_alloc&) {
    return fail_record("Out of memory");
  } catch (const std::exception& e) {
    return fail_record(e.what());
  }
}

}  // namespace talmek::scrivel
