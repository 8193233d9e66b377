// Processor count and helper threads on Windows.
#include <windows.h>

#include <bit>
#include <cstdint>

#include "platform/os.h"

namespace talmek::os {

unsigned usable_cpus() noexcept {
  DWORD_PTR process = 0, system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system) || process == 0) return 1;
  return static_cast<unsigned>(std::popcount(static_cast<std::uint64_t>(process)));
}

struct HelperThread::State {
  std::function<void()> fn;
  HANDLE thread = nullptr;

  static DWORD WINAPI run(void* self) noexcept {
    static_cast<State*>(self)->fn();
    return 0;
  }
};

HelperThread::HelperThread() noexcept = default;

HelperThread::~HelperThread() { join(); }

bool HelperThread::start(std::function<void()> fn) noexcept {
  if (m && m->thread) return false;
  try {
    if (!m) m = std::make_unique<State>();
  } catch (...) {
    return false;
  }
  m->fn = std::move(fn);
  // 1 MB reserved for the stack, as on POSIX; committed as it is touched.
  m->thread = CreateThread(nullptr, std::size_t{1} << 20, &State::run, m.get(),
                           STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  return m->thread != nullptr;
}

void HelperThread::join() noexcept {
  if (!m || !m->thread) return;
  WaitForSingleObject(m->thread, INFINITE);
  CloseHandle(m->thread);
  m->thread = nullptr;
}

}  // namespace talmek::os
