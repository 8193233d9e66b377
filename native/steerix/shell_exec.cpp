// The shell tool's process runner: fork/exec of /bin/sh, both pipes polled, a hard deadline.
#include "steerix/shell_exec.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/fd_io.h"
#include "common/os_error.h"
#include "common/text.h"

extern char** environ;

namespace talmek::steerix {

Bytes::~Bytes() { std::free(m_data); }

Bytes::Bytes(Bytes&& other) noexcept
    : m_data(other.m_data), m_size(other.m_size), m_capacity(other.m_capacity) {
  other.m_data = nullptr;
  other.m_size = other.m_capacity = 0;
}

Bytes& Bytes::operator=(Bytes&& other) noexcept {
  if (this != &other) {
    std::free(m_data);
    m_data = other.m_data;
    m_size = other.m_size;
    m_capacity = other.m_capacity;
    other.m_data = nullptr;
    other.m_size = other.m_capacity = 0;
  }
  return *this;
}

char* Bytes::spare(std::size_t n) {
  if (m_capacity - m_size < n) {
    std::size_t capacity = m_capacity ? m_capacity * 2 : 65536;
    if (capacity < m_size + n) capacity = m_size + n;
    void* grown = std::realloc(m_data, capacity);
    if (!grown) throw std::bad_alloc();
    m_data = static_cast<char*>(grown);
    m_capacity = capacity;
  }
  return m_data + m_size;
}

void Bytes::append(std::string_view s) {
  if (s.empty()) return;
  std::memcpy(spare(s.size()), s.data(), s.size());
  commit(s.size());
}

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kShell = "/bin/sh";

// A close-on-exec descriptor numbered 3 or higher, so that the child's dup2 onto 1 and 2 can
// never clobber it, even when this process runs with some of its standard streams closed.
int above_std(int fd) {
  if (fd >= 3) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  const int err = errno;
  ::close(fd);
  errno = err;
  return moved;
}

void make_pipe(Fd& r, Fd& w) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw OpError(os_error_message(errno));
  r.reset(above_std(fds[0]));
  w.reset(above_std(fds[1]));
  if (!r.valid() || !w.valid()) throw OpError(os_error_message(errno));
}

// What the child reports through the error pipe when it cannot exec the shell.
struct ChildFailure {
  int stage;  // kStageChdir or kStageExec
  int err;
};
constexpr int kStageChdir = 1;
constexpr int kStageExec = 2;

[[noreturn]] void child_fail(int fail_w, int stage) {
  const ChildFailure f{stage, errno};
  [[maybe_unused]] const ssize_t n = ::write(fail_w, &f, sizeof f);
  ::_exit(255);
}

// Runs in the forked child: only async-signal-safe calls, no allocation.
[[noreturn]] void child_exec(int out_w, int err_w, int fail_w, const char* cwd, char* const argv[]) {
  auto fail = [fail_w](int stage) { child_fail(fail_w, stage); };
  ::setpgid(0, 0);
  if (::dup2(out_w, 1) < 0 || ::dup2(err_w, 2) < 0) fail(kStageExec);
  // Python ignores SIGPIPE and SIGXFSZ; an ignored disposition survives exec, so put the
  // defaults back as subprocess does for its children.
  struct sigaction dfl;
  std::memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  ::sigaction(SIGPIPE, &dfl, nullptr);
  ::sigaction(SIGXFSZ, &dfl, nullptr);
#ifdef CLOSE_RANGE_CLOEXEC
  // Descriptors the host left inheritable must not leak into the command (subprocess's
  // close_fds); marking them close-on-exec keeps the failure pipe usable until exec.
  ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
#endif
  if (cwd && ::chdir(cwd) != 0) fail(kStageChdir);
  ::execve(kShell, argv, environ);
  child_fail(fail_w, kStageExec);
}

void kill_and_reap(pid_t pid) {
  // The shell is not reaped yet, so its pid (the group id) cannot have been reused.
  ::killpg(pid, SIGKILL);
  ::kill(pid, SIGKILL);
  int status;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

int exit_code_of(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return -WTERMSIG(status);
  return 0;
}

int open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  const long fd = ::syscall(SYS_pidfd_open, pid, 0);
  if (fd >= 0) ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
  return static_cast<int>(fd);
#else
  (void)pid;
  return -1;
#endif
}

// Reads what is available from `fd` into `sink`; closes `fd` at its end.
void drain(Fd& fd, Bytes& sink) {
  constexpr std::size_t kChunk = 65536;
  for (;;) {
    const ssize_t n = ::read(fd.get(), sink.spare(kChunk), kChunk);
    if (n > 0) {
      sink.commit(static_cast<std::size_t>(n));
      if (static_cast<std::size_t>(n) < kChunk) return;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    fd.reset();  // end of stream, or an error that ends it just the same
    return;
  }
}

}  // namespace

ShellRun run_shell(const std::string& command, const std::optional<std::string>& cwd,
                   std::chrono::milliseconds timeout, const std::function<bool()>& should_stop) {
  // Everything the child needs is prepared before fork: it must not allocate.
  std::string sh = kShell, dash_c = "-c", cmd = command;
  char* const argv[] = {sh.data(), dash_c.data(), cmd.data(), nullptr};
  const char* cwd_c = cwd ? cwd->c_str() : nullptr;

  Fd out_r, out_w, err_r, err_w, fail_r, fail_w;
  make_pipe(out_r, out_w);
  make_pipe(err_r, err_w);
  make_pipe(fail_r, fail_w);

  const auto deadline = Clock::now() + timeout;
  const pid_t pid = ::fork();
  if (pid < 0) throw OpError(os_error_message(errno));
  if (pid == 0) child_exec(out_w.get(), err_w.get(), fail_w.get(), cwd_c, argv);

  // Also set here, so that the group exists whichever of the two processes runs first.
  ::setpgid(pid, pid);
  out_w.reset();
  err_w.reset();
  fail_w.reset();

  // The failure pipe closes on a successful exec; otherwise it carries the reason.
  ChildFailure failure{};
  std::size_t got = 0;
  for (;;) {
    const ssize_t n = ::read(fail_r.get(), reinterpret_cast<char*>(&failure) + got,
                             sizeof failure - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
    if (got == sizeof failure) break;
  }
  fail_r.reset();
  if (got == sizeof failure) {
    int status;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    // subprocess names the working directory when chdir failed, else the program.
    const std::string what = failure.stage == kStageChdir ? text::fsdecode(*cwd) : kShell;
    throw OpError(os_error_message(failure.err, what));
  }

  for (Fd* fd : {&out_r, &err_r}) {
    ::fcntl(fd->get(), F_SETFL, ::fcntl(fd->get(), F_GETFL) | O_NONBLOCK);
#ifdef F_SETPIPE_SZ
    // Larger pipes mean fewer wake-ups of both sides for chatty commands; a refusal is harmless.
    ::fcntl(fd->get(), F_SETPIPE_SZ, 1 << 20);
#endif
  }
  Fd pidfd(open_pidfd(pid));

  ShellRun run;
  bool reaped = false;
  int status = 0;
  auto stop_with = [&](ShellRun::Status why) {
    kill_and_reap(pid);
    ShellRun r;
    r.status = why;
    return r;
  };

  while (out_r.valid() || err_r.valid() || !reaped) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return stop_with(ShellRun::Status::timed_out);

    pollfd fds[3];
    nfds_t n = 0;
    int out_i = -1, err_i = -1, pid_i = -1;
    if (out_r.valid()) fds[out_i = static_cast<int>(n++)] = {out_r.get(), POLLIN, 0};
    if (err_r.valid()) fds[err_i = static_cast<int>(n++)] = {err_r.get(), POLLIN, 0};
    if (!reaped && pidfd.valid()) fds[pid_i = static_cast<int>(n++)] = {pidfd.get(), POLLIN, 0};
    // Without a pidfd the shell's end is noticed by looking every few milliseconds.
    int wait_ms = static_cast<int>(std::min<long long>(left.count(), 60'000));
    if (!reaped && !pidfd.valid()) wait_ms = std::min(wait_ms, 10);

    const int ready = ::poll(fds, n, wait_ms);
    if (ready < 0) {
      if (errno != EINTR) {
        const int err = errno;
        kill_and_reap(pid);
        throw OpError(os_error_message(err));
      }
      if (should_stop && should_stop()) return stop_with(ShellRun::Status::interrupted);
      continue;
    }
    if (out_i >= 0 && fds[out_i].revents) drain(out_r, run.out);
    if (err_i >= 0 && fds[err_i].revents) drain(err_r, run.err);
    if (!reaped && (pid_i < 0 || fds[pid_i].revents)) {
      const pid_t w = ::waitpid(pid, &status, WNOHANG);
      if (w == pid) reaped = true;
      // A host that ignores SIGCHLD has its children reaped for it; subprocess then reports 0.
      if (w < 0 && errno == ECHILD) reaped = true;
    }
  }
  run.exit_code = exit_code_of(status);
  return run;
}

}  // namespace talmek::steerix
