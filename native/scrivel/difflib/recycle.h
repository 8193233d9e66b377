// Working arrays handed from one diff to the next on the same thread, with their memory.
//
// A diff of two 20,000-line files needs a few megabytes of arrays for a millisecond or two. Freed
// after each diff, that memory goes back to the system, and the next diff pays a page fault for
// every 4 KiB of it again: measured, that was close to half the time of such a diff. Keeping the
// arrays of the last diff (up to k_keep_bytes each) for the next one avoids it.
#pragma once

#include <cstddef>
#include <vector>

namespace talmek::scrivel::difflib {

template <class T>
class Recycled {
 public:
  // An empty vector, with the capacity of one kept from an earlier diff when there is one.
  static std::vector<T> take() {
    auto& pool = spares();
    if (pool.empty()) return {};
    std::vector<T> v = std::move(pool.back());
    pool.pop_back();
    v.clear();
    return v;
  }

  // Keeps v's memory for a later take(), unless enough is kept already.
  static void give(std::vector<T>& v) noexcept {
    auto& pool = spares();
    if (v.capacity() == 0 || v.capacity() * sizeof(T) > k_keep_bytes || pool.size() >= k_spares)
      return;
    try {
      pool.push_back(std::move(v));
    } catch (...) {
      // No room to keep it: it is simply freed.
    }
  }

 private:
  static constexpr std::size_t k_keep_bytes = std::size_t{64} << 20;
  static constexpr std::size_t k_spares = 8;

  static std::vector<std::vector<T>>& spares() {
    thread_local std::vector<std::vector<T>> pool;
    return pool;
  }
};

}  // namespace talmek::scrivel::difflib
