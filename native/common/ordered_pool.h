// Jobs run on a few threads, their results handed back strictly in the order the jobs were given.
//
// The owner (the thread that builds the pool) gives jobs with push() and takes results with
// pop(), oldest first. Helpers take the oldest job that nobody has started; while the owner
// waits for a result it runs such jobs too, so a pool of n threads has n - 1 helpers and the
// owner, and a pool of one thread is the plain serial loop (push one job, pop runs it). At most
// `window` jobs are given and not yet popped, which bounds the memory held by results that wait
// for an older one. Helpers start only once the work has gone on for `start_after` with a job
// waiting for them: starting and joining a thread costs about a tenth of a millisecond, more
// than many small searches take in all (kStartAfter is the usual delay). When the system refuses a
// thread the pool runs with fewer (the owner alone, at worst).
//
// stop() (and the destructor) drops the jobs not started and sets the flag from stopping(),
// which long jobs may poll to give up early; jobs under way finish and their results are
// dropped. The destructor joins every helper before anything the jobs reference goes away, so
// the pool must be declared after what its work function uses.
//
// The work function runs on any of the threads at once and must be safe for that; `worker` (0
// for the owner, 1 .. n-1 for the helpers) lets it keep per-thread state. An exception it
// throws is carried to the owner and rethrown by the pop() of that job.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/os.h"

namespace talmek {

template <class Job, class Result>
class OrderedPool {
 public:
  using Work = std::function<Result(Job& job, unsigned worker)>;

  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::microseconds kStartAfter{300};

  OrderedPool(unsigned threads, std::size_t window, Work work,
              std::chrono::microseconds start_after = kStartAfter)
      : m_threads(threads ? threads : 1),
        m_ring(window ? window : 1),
        m_work(std::move(work)),
        m_start_after(start_after),
        m_wake_batch(std::max<std::size_t>(2, m_ring.size() / 4)) {}

  ~OrderedPool() {
    stop();
    for (auto& h : m_helpers) h->join();
  }

  OrderedPool(const OrderedPool&) = delete;
  OrderedPool& operator=(const OrderedPool&) = delete;

  // Owner only: whether push() may be called / whether anything waits to be popped.
  bool full() const noexcept { return m_tail - m_head >= m_ring.size(); }
  bool empty() const noexcept { return m_tail == m_head; }

  // Gives a job. Precondition: !full().
  void push(Job job) {
    bool wake;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      Slot& s = m_ring[m_tail % m_ring.size()];
      s.job.emplace(std::move(job));
      ++m_tail;
      // A sleeping helper is woken for a batch of jobs, not for each: a wake-up costs a system
      // call and a switch, and where the helper shares a processor with the owner, waking it
      // for every job makes the two take turns job by job. Jobs that never make a batch are
      // run by the owner while it waits for results.
      wake = m_idle > 0 && m_tail - m_next >= m_wake_batch;
    }
    if (m_tail == 1) m_begun = Clock::now();
    maybe_start_helpers();
    if (wake) m_work_ready.notify_one();
  }

  // Whether the oldest job's result is there (pop() would not wait). Owner only.
  bool ready() const {
    if (empty()) return false;
    return m_ring[m_head % m_ring.size()].done.load(std::memory_order_acquire);
  }

  // The result of the oldest job not yet popped, running jobs meanwhile. Precondition: !empty().
  // Rethrows what the work threw for that job.
  Result pop() {
    maybe_start_helpers();
    std::unique_lock<std::mutex> lock(m_mutex);
    Slot& s = m_ring[m_head % m_ring.size()];
    while (!s.done.load(std::memory_order_relaxed)) {
      if (m_next < m_tail)
        run_one(lock, 0);
      else
        m_oldest_done.wait(lock);
    }
    std::optional<Result> result = std::move(s.result);
    std::exception_ptr error = std::move(s.error);
    s.result.reset();
    s.error = nullptr;
    s.done.store(false, std::memory_order_relaxed);
    ++m_head;
    lock.unlock();
    if (error) std::rethrow_exception(error);
    return std::move(*result);
  }

  // Drops the jobs not started; the helpers end once their current job is done.
  void stop() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_stop.store(true, std::memory_order_relaxed);
      for (std::uint64_t k = m_next; k < m_tail; ++k) m_ring[k % m_ring.size()].job.reset();
      m_next = m_tail;
    }
    m_work_ready.notify_all();
  }

  // Set once stop() was called: work under way may poll it and give up (its result is dropped).
  const std::atomic<bool>& stopping() const noexcept { return m_stop; }

  // How many threads work (the owner included): fewer than asked when helpers could not start.
  unsigned threads_running() const noexcept { return 1 + static_cast<unsigned>(m_helpers.size()); }

 private:
  struct Slot {
    std::optional<Job> job;
    std::optional<Result> result;
    std::exception_ptr error;
    // Set under the mutex once `result` or `error` is there; read without it by ready().
    std::atomic<bool> done{false};
  };

  // Runs the oldest job not started, with `lock` held on entry and on return.
  void run_one(std::unique_lock<std::mutex>& lock, unsigned worker) {
    const std::uint64_t index = m_next++;
    Slot& s = m_ring[index % m_ring.size()];
    Job job = std::move(*s.job);
    s.job.reset();
    lock.unlock();
    std::optional<Result> result;
    std::exception_ptr error;
    try {
      result.emplace(m_work(job, worker));
    } catch (...) {
      error = std::current_exception();
    }
    lock.lock();
    // The slot cannot have been reused: the owner pops it only once it is done.
    s.result = std::move(result);
    s.error = std::move(error);
    s.done.store(true, std::memory_order_release);
    if (index == m_head) m_oldest_done.notify_one();
  }

  void helper(unsigned worker) {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
      while (!m_stop.load(std::memory_order_relaxed) && m_next >= m_tail) {
        ++m_idle;
        m_work_ready.wait(lock);
        --m_idle;
      }
      if (m_stop.load(std::memory_order_relaxed)) return;
      run_one(lock, worker);
    }
  }

  // Owner only. Starts the helpers once there is work to share (a job besides the one the
  // owner may be about to run) and the work has lasted long enough to be worth them.
  void maybe_start_helpers() {
    if (m_started || m_threads == 1 || m_tail - m_next < 2) return;
    if (m_start_after.count() > 0 && Clock::now() - m_begun < m_start_after) return;
    start_helpers();
  }

  void start_helpers() {
    m_started = true;  // once: a refusal is not asked again for every job
    for (unsigned w = 1; w < m_threads; ++w) {
      auto h = std::make_unique<os::HelperThread>();
      if (!h->start([this, w] { helper(w); })) break;
      m_helpers.push_back(std::move(h));
    }
    // The helpers found the jobs given so far; nothing else to wake.
  }

  const unsigned m_threads;
  std::vector<Slot> m_ring;
  Work m_work;
  const std::chrono::microseconds m_start_after;
  const std::size_t m_wake_batch;  // jobs waiting before a sleeping helper is woken
  mutable std::mutex m_mutex;
  std::condition_variable m_work_ready;   // a job was given, or stop
  std::condition_variable m_oldest_done;  // the job the owner waits for is done
  // Jobs [m_head, m_tail) are given and not popped; [m_next, m_tail) not started. m_tail and
  // m_head change only on the owner thread, under the mutex.
  std::uint64_t m_head = 0, m_next = 0, m_tail = 0;
  std::atomic<bool> m_stop{false};
  unsigned m_idle = 0;  // helpers asleep on m_work_ready
  std::vector<std::unique_ptr<os::HelperThread>> m_helpers;
  bool m_started = false;
  Clock::time_point m_begun;  // when the first job was given
};

}  // namespace talmek
