// Processor count and helper threads on POSIX (pthreads).
#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include "platform/os.h"

namespace talmek::os {

namespace {
// Room for the search loops, PCRE2's interpreter (its backtracking frames live on the heap) and
// the C library; a JIT match runs on its own stack.
constexpr std::size_t kStackSize = std::size_t{1} << 20;
}  // namespace

unsigned usable_cpus() noexcept {
#ifdef __linux__
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  const int n = CPU_COUNT(&set);
  return n > 0 ? static_cast<unsigned>(n) : 1u;
#else
  return 1;
#endif
}

struct HelperThread::State {
  std::function<void()> fn;
  pthread_t thread{};
  bool running = false;

  static void* run(void* self) noexcept {
    static_cast<State*>(self)->fn();
    return nullptr;
  }
};

HelperThread::HelperThread() noexcept = default;

HelperThread::~HelperThread() { join(); }

bool HelperThread::start(std::function<void()> fn) noexcept {
  if (m && m->running) return false;
  try {
    if (!m) m = std::make_unique<State>();
  } catch (...) {
    return false;
  }
  m->fn = std::move(fn);
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_attr_setstacksize(&attr, kStackSize);
  // A new thread inherits the signal mask of the one that creates it: block everything for the
  // creation, then restore.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  const int rc = pthread_create(&m->thread, &attr, &State::run, m.get());
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  pthread_attr_destroy(&attr);
  m->running = rc == 0;
  return m->running;
}

void HelperThread::join() noexcept {
  if (!m || !m->running) return;
  pthread_join(m->thread, nullptr);
  m->running = false;
}

}  // namespace talmek::os
