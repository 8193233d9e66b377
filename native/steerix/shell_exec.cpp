// The shell tool's process runner: a subreaper supervisor with /bin/sh below it, both pipes
// polled, a hard deadline, a bound on the output, and a kill that leaves no process behind.
//
// Why a supervisor process. Killing the shell's process group misses every process that left the
// group: a child that called setsid, the jobs of a nested interactive shell, most of a fork bomb.
// The ways to find them all again:
// - a cgroup v2 with cgroup.kill ends a whole tree at once, but only where this process may
//   create cgroups: a delegated, writable cgroup v2 subtree, which a desktop session has only
//   under systemd with delegation, and hybrid or v1 hierarchies (such as this build machine's)
//   not at all. It could only ever be an extra, not the rule;
// - making this process a child subreaper would adopt the orphans of every child the host starts,
//   for the rest of its life, and change what the host's other children see;
// - a PID namespace ends all its members with its init, but needs privileges or unprivileged user
//   namespaces, which distributions restrict, and changes the pids the command sees;
// - scanning /proc for descendants and killing them races with pid reuse: a pid read there may
//   belong to a stranger by the time it is signalled.
// So every command gets a supervisor of its own: a forked child of this process that marks itself
// a child subreaper (PR_SET_CHILD_SUBREAPER, Linux 3.4, no privilege needed) and starts the shell.
// A process below it whose parent exits is handed to the supervisor, never to init, whatever
// sessions or groups it made; so "no process is left" is exactly "the supervisor has no child
// left", which waitpid reports as ECHILD. To kill, the supervisor sends SIGKILL to its direct
// children, whose pids cannot be reused before it reaps them (it never signals a stranger), reaps
// them, which hands their own children to it, and repeats until ECHILD. A fork bomb cannot
// outrun this: the kernel does not complete a fork in a process with SIGKILL pending, so each
// round leaves only what was born before it, and a process limit bounds that.
//
// The supervisor runs without exec, as a copy of this process: it only makes system calls (no
// allocation, no locks, which another thread may have held at the fork), keeps every signal
// blocked (none of the host's handlers can run in it, and Ctrl-C or Ctrl-Z sent to the host's
// process group neither end nor stop it), and closes every descriptor it does not need, so that
// it holds none of the host's files or sockets open while the command runs. It starts the shell
// with vfork, which copies no page tables. The host tells it over a socket pair how the command
// ended: "release" after an ordinary end (it exits and leaves what the command detached, as a
// shell would), anything else, or the end of the socket when the host dies, means "kill all".
// When the shell ends and leaves no other process, it exits by itself at once.
#include "steerix/shell_exec.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <tuple>

#include "common/fd_io.h"
#include "common/os_error.h"
#include "common/text.h"
#include "platform/os.h"

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

char* Bytes::spare(std::size_t n, std::size_t cap) {
  if (m_capacity - m_size < n) {
    std::size_t capacity = m_capacity ? m_capacity * 2 : 65536;
    if (capacity > cap) capacity = cap;
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
constexpr std::size_t kChunk = 65536;

// A close-on-exec descriptor numbered 3 or higher, so that the child's dup2 onto 1 and 2 can
// never clobber it, even when this process runs with some of its standard streams closed.
int above_std(int fd) {
  if (fd < 0 || fd >= 3) return fd;
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

// The channel between this process and the supervisor: datagrams, so that each report arrives
// whole, and an end of stream when either side is gone.
void make_channel(Fd& ours, Fd& theirs) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0)
    throw OpError(os_error_message(errno));
  ours.reset(above_std(fds[0]));
  theirs.reset(above_std(fds[1]));
  if (!ours.valid() || !theirs.valid()) throw OpError(os_error_message(errno));
}

// What the supervisor reports, one datagram each: first whether the shell started, later how it
// ended.
struct Report {
  enum Kind : int { started = 1, fork_failed, exec_failed, exited };
  int kind;
  int value;  // errno for the failures; for `exited`, the exit status or minus the signal
  int stage;  // for exec_failed: kStageChdir or kStageExec
};
constexpr int kStageChdir = 1;
constexpr int kStageExec = 2;
constexpr int kStageSandbox = 3;

// What this process tells the supervisor, one byte. Anything but kRelease means kill.
constexpr char kRelease = 'r';
constexpr char kKill = 'k';

// Everything the supervisor and the shell need, prepared before the fork: neither may allocate.
struct Launch {
  char* const* argv;
  const char* cwd;
  const os::Sandbox* sandbox;  // applied by the shell before exec; null: none
  int out_w, err_w, channel;
  sigset_t caller_mask;  // the mask the shell gets back
  bool sigchld_ignored = false;
  // Written by the shell when it cannot exec; vfork shares the supervisor's memory.
  volatile int fail_stage = 0;
  volatile int fail_errno = 0;
};

// ---------------------------------------------------------------------------------------------
// The shell (after vfork; only system calls)

[[noreturn]] void shell_fail(Launch& l, int stage) {
  l.fail_errno = errno;
  l.fail_stage = stage;
  ::_exit(255);
}

bool is_plain(const struct sigaction& sa, void (*which)(int)) {
  return !(sa.sa_flags & SA_SIGINFO) && sa.sa_handler == which;
}

[[noreturn]] void shell_main(Launch& l) {
  ::setpgid(0, 0);
  if (::dup2(l.out_w, 1) < 0 || ::dup2(l.err_w, 2) < 0) shell_fail(l, kStageExec);
  // The host's handlers are reset to the default before the mask opens, as exec would reset
  // them, so that no signal can run one in memory we share with the supervisor; ignored
  // signals stay ignored across exec, as for any child of the host. Python ignores SIGPIPE and
  // SIGXFSZ for itself: subprocess puts the defaults back for its children, and so do we.
  struct sigaction sa, dfl;
  std::memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP || ::sigaction(sig, nullptr, &sa) != 0) continue;
    if (!is_plain(sa, SIG_DFL) && !is_plain(sa, SIG_IGN)) ::sigaction(sig, &dfl, nullptr);
  }
  ::sigaction(SIGPIPE, &dfl, nullptr);
  ::sigaction(SIGXFSZ, &dfl, nullptr);
  if (l.sigchld_ignored) {
    struct sigaction ign = dfl;
    ign.sa_handler = SIG_IGN;
    ::sigaction(SIGCHLD, &ign, nullptr);
  }
  ::sigprocmask(SIG_SETMASK, &l.caller_mask, nullptr);
  if (l.cwd && ::chdir(l.cwd) != 0) shell_fail(l, kStageChdir);
  if (l.sandbox) {
    if (const int err = l.sandbox->apply()) {
      errno = err;
      shell_fail(l, kStageSandbox);
    }
  }
  ::execve(kShell, l.argv, environ);
  shell_fail(l, kStageExec);
}

// ---------------------------------------------------------------------------------------------
// The supervisor (after fork; only system calls)

void report(int channel, int kind, int value = 0, int stage = 0) {
  const Report r{kind, value, stage};
  [[maybe_unused]] const ssize_t n = ::send(channel, &r, sizeof r, MSG_NOSIGNAL);
}

void close_fds(unsigned lo, unsigned hi) {
  if (lo > hi) return;
#ifdef SYS_close_range
  if (::syscall(SYS_close_range, lo, hi, 0u) == 0) return;
#endif
  // Kernels before 5.9: one close per possible descriptor.
  struct rlimit rl;
  unsigned top = 65536;
  if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
    top = static_cast<unsigned>(std::min<rlim_t>(rl.rlim_cur, UINT_MAX));
  for (unsigned fd = lo; fd <= hi && fd < top; ++fd) ::close(static_cast<int>(fd));
}

// Closes every descriptor from 3 up except the three given (all of them 3 or higher).
void close_all_but(int a, int b, int c, int d) {
  int keep[4] = {a, b, c, d < 0 ? c : d};
  std::sort(keep, keep + 4);
  unsigned from = 3;
  for (const int k : keep) {
    const auto fd = static_cast<unsigned>(k);
    if (fd > from) close_fds(from, fd - 1);
    from = fd + 1;
  }
  close_fds(from, UINT_MAX);
}

void drain_signalfd(int sfd) {
  signalfd_siginfo info[16];
  while (sfd >= 0 && ::read(sfd, info, sizeof info) > 0) {
  }
}

// Calls f(pid) for each decimal number read from `fd`, whatever separates them.
template <class F>
void for_each_pid_in(int fd, F&& f) {
  char buf[4096];
  long long value = 0;
  bool digits = false;
  auto flush = [&] {
    if (digits && value > 0 && value <= INT_MAX) f(static_cast<pid_t>(value));
    value = 0;
    digits = false;
  };
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] >= '0' && buf[i] <= '9') {
        value = std::min<long long>(value * 10 + (buf[i] - '0'), INT_MAX + 1LL);
        digits = true;
      } else {
        flush();
      }
    }
  }
  flush();
}

// Calls f(pid) for each child of this process, ended ones not yet reaped included, as the kernel
// lists them. False when it keeps no list (no CONFIG_PROC_CHILDREN, kernels before 3.17).
template <class F>
bool for_each_child(F&& f) {
  const int fd = ::open("/proc/thread-self/children", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  for_each_pid_in(fd, f);
  ::close(fd);
  return true;
}

// The same found the slow way, from the parent named in every /proc/<pid>/stat.
template <class F>
void for_each_child_by_scan(F&& f) {
  const int dir = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return;
  const pid_t self = ::getpid();
  alignas(8) char entries[8192];
  for (;;) {
    const long got = ::syscall(SYS_getdents64, dir, entries, sizeof entries);
    if (got <= 0) break;
    for (long off = 0; off < got;) {
      // struct linux_dirent64: d_ino (8 bytes), d_off (8), d_reclen (2), d_type (1), d_name.
      unsigned short reclen;
      std::memcpy(&reclen, entries + off + 16, sizeof reclen);
      const char* name = entries + off + 19;
      off += reclen;
      if (name[0] < '1' || name[0] > '9') continue;
      char path[64];
      std::size_t len = 0;
      long long pid = 0;
      for (; name[len] >= '0' && name[len] <= '9' && len < 20; ++len) {
        path[len] = name[len];
        pid = pid * 10 + (name[len] - '0');
      }
      std::memcpy(path + len, "/stat", 6);
      const int fd = ::openat(dir, path, O_RDONLY | O_CLOEXEC);
      if (fd < 0) continue;
      char stat[512];
      const ssize_t n = ::read(fd, stat, sizeof stat);
      ::close(fd);
      if (n <= 0) continue;
      // "pid (comm) state ppid ...": the command name may hold ") ", so the last ')' counts.
      const char* end = stat + n;
      const char* p = end;
      while (p > stat && p[-1] != ')') --p;
      if (p == stat || end - p < 4) continue;
      p += 3;  // " S "
      long long ppid = 0;
      while (p < end && *p == ' ') ++p;
      while (p < end && *p >= '0' && *p <= '9') ppid = ppid * 10 + (*p++ - '0');
      if (ppid == self && pid <= INT_MAX) f(static_cast<pid_t>(pid));
    }
  }
  ::close(dir);
}

// The supervisor's children: the shell, and every orphan below it that was handed over.
//
// The shell's zombie is kept until the end: its exit status is read without reaping it (waitid
// with WNOWAIT), so that its pid, which is also its process group's id, cannot be reused while the
// supervisor may still signal that group. Every other child is reaped as soon as it ends.
struct Reaper {
  pid_t shell;
  int channel;
  int sfd;
  bool reported = false;      // the shell's end has been reported
  bool shell_reaped = false;  // its pid, and so its group's id, may now belong to anyone

  void report_shell_end() {
    if (reported || shell_reaped) return;
    siginfo_t si;
    si.si_pid = 0;
    if (::waitid(P_PID, static_cast<id_t>(shell), &si, WEXITED | WNOHANG | WNOWAIT) != 0 ||
        si.si_pid != shell)
      return;
    // As subprocess reports it: the exit status, or minus the signal that ended the shell.
    report(channel, Report::exited, si.si_code == CLD_EXITED ? si.si_status : -si.si_status);
    reported = true;
  }

  // Reaps every child that has ended but the shell. Returns how many others are still running
  // (at least 1 when that cannot be told).
  int reap_others() {
    int running = 0;
    const bool listed = for_each_child([&](pid_t pid) {
      int status;
      if (pid != shell && ::waitpid(pid, &status, WNOHANG | __WALL) == 0) ++running;
    });
    if (listed) return running;
    // Without the kernel's list: whatever ended is reaped, the shell included.
    for (;;) {
      int status;
      const pid_t w = ::waitpid(-1, &status, WNOHANG | __WALL);
      if (w > 0) {
        if (w == shell && !reported && !shell_reaped) {
          report(channel, Report::exited,
                 WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status));
          reported = true;
        }
        if (w == shell) shell_reaped = true;
        continue;
      }
      if (w < 0 && errno == EINTR) continue;
      return w == 0 ? 1 : 0;
    }
  }

  // Kills every process below the supervisor and returns once none is left. Each round kills the
  // shell's process group at once, which ends the bulk of a fork bomb however deep its tree is,
  // then every direct child and the group it leads, if it made one (a child that called setsid
  // leads its own; its pid, not yet reaped, cannot be reused, so neither can that group's id).
  // The children of those killed are handed to the supervisor and are killed in the next round.
  void kill_all() {
    auto kill_child = [&](pid_t pid) {
      ::kill(pid, SIGKILL);
      ::kill(-pid, SIGKILL);
    };
    for (;;) {
      if (!shell_reaped) ::kill(-shell, SIGKILL);
      if (!for_each_child(kill_child)) for_each_child_by_scan(kill_child);
      // The killed end within moments; their SIGCHLD wakes us, and a short timeout covers
      // children that send none at their end.
      pollfd p{sfd, POLLIN, 0};
      ::poll(&p, sfd >= 0 ? 1 : 0, sfd >= 0 ? 20 : 2);
      drain_signalfd(sfd);
      if (reap_others() > 0) continue;
      if (!shell_reaped) {
        // Only the shell is left: once it has ended too, nothing is left below us.
        int status;
        if (::waitpid(shell, &status, WNOHANG | __WALL) == 0) continue;
        shell_reaped = true;
      }
      int status;
      if (::waitpid(-1, &status, WNOHANG | __WALL) < 0 && errno == ECHILD) return;
    }
  }
};

[[noreturn]] void supervisor_main(Launch& l) {
  // Every signal stays blocked, as the caller blocked them around the fork. SIGCHLD must not be
  // ignored (the kernel would reap our children unseen), so its default comes back here and the
  // shell gets the host's disposition again.
  struct sigaction sa;
  if (::sigaction(SIGCHLD, nullptr, &sa) == 0) {
    l.sigchld_ignored = is_plain(sa, SIG_IGN);
    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    ::sigaction(SIGCHLD, &dfl, nullptr);
  }
  close_all_but(l.out_w, l.err_w, l.channel, l.sandbox ? l.sandbox->handle() : -1);
  ::prctl(PR_SET_NAME, "shell-reaper", 0, 0, 0);
  // Without subreaping (kernels before 3.4) orphans go to init, as they did before.
  ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
  sigset_t chld;
  sigemptyset(&chld);
  sigaddset(&chld, SIGCHLD);
  const int sfd = ::signalfd(-1, &chld, SFD_CLOEXEC | SFD_NONBLOCK);

  const pid_t shell = ::vfork();
  if (shell == 0) shell_main(l);
  if (shell < 0) {
    report(l.channel, Report::fork_failed, errno);
    ::_exit(0);
  }
  int status;
  if (l.fail_stage) {
    while (::waitpid(shell, &status, 0) < 0 && errno == EINTR) {
    }
    report(l.channel, Report::exec_failed, l.fail_errno, l.fail_stage);
    ::_exit(0);
  }
  ::close(l.out_w);
  ::close(l.err_w);
  report(l.channel, Report::started);

  Reaper reaper{shell, l.channel, sfd};
  for (;;) {
    pollfd p[2] = {{l.channel, POLLIN, 0}, {sfd, POLLIN, 0}};
    ::poll(p, sfd >= 0 ? 2 : 1, sfd >= 0 ? -1 : 10);
    drain_signalfd(sfd);
    reaper.report_shell_end();
    if (reaper.reap_others() == 0 && reaper.reported) {
      // The shell has ended and left nothing behind: there is nothing to kill or to release,
      // so the host need not wait for us.
      if (!reaper.shell_reaped) ::waitpid(shell, &status, __WALL);
      ::_exit(0);
    }
    if (p[0].revents) {
      char how = 0;
      if (::recv(l.channel, &how, 1, 0) == 1 && how == kRelease) {
        // The shell has ended (that is when we are released); what it detached stays.
        if (!reaper.shell_reaped) ::waitpid(shell, &status, __WALL);
        ::_exit(0);
      }
      reaper.kill_all();
      ::_exit(0);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// This process's side

// Owns the supervisor: until it is released, leaving the scope (an exception included) kills
// the command and everything it started, and waits until all of it is gone.
class Supervisor {
 public:
  Supervisor(pid_t pid, Fd channel) : m_pid(pid), m_channel(std::move(channel)) {}
  ~Supervisor() { end(kKill); }
  Supervisor(const Supervisor&) = delete;
  Supervisor& operator=(const Supervisor&) = delete;

  int channel() const { return m_channel.get(); }

  // The next report; false when the supervisor is gone without one.
  bool receive(Report& r) {
    for (;;) {
      const ssize_t n = ::recv(m_channel.get(), &r, sizeof r, 0);
      if (n == static_cast<ssize_t>(sizeof r)) return true;
      if (n < 0 && errno == EINTR) continue;
      return false;
    }
  }

  // Lets the supervisor go: what the command detached from its pipes keeps running.
  void release() noexcept { end(kRelease); }
  // Kills everything below the supervisor; returns when nothing is left.
  void kill() noexcept { end(kKill); }

 private:
  void end(char how) noexcept {
    if (m_pid <= 0) return;
    [[maybe_unused]] const ssize_t n = ::send(m_channel.get(), &how, 1, MSG_NOSIGNAL);
    m_channel.reset();
    int status;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
  }

  pid_t m_pid;
  Fd m_channel;
};

// Reads what is available from `fd` into `sink`, at most `room` bytes; closes `fd` at its end.
// Returns the number of bytes read.
std::size_t drain(Fd& fd, Bytes& sink, std::size_t room) {
  std::size_t got = 0;
  while (got < room) {
    const std::size_t want = std::min(kChunk, room - got);
    const ssize_t n = ::read(fd.get(), sink.spare(want, sink.size() + (room - got)), want);
    if (n > 0) {
      sink.commit(static_cast<std::size_t>(n));
      got += static_cast<std::size_t>(n);
      if (static_cast<std::size_t>(n) < want) return got;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return got;
    fd.reset();  // end of stream, or an error that ends it just the same
    return got;
  }
  return got;
}

}  // namespace

ShellRun run_shell(const std::string& command, const std::optional<std::string>& cwd,
                   std::chrono::milliseconds timeout, std::size_t output_limit,
                   const std::function<bool()>& should_stop, const os::Sandbox* sandbox) {
  // Everything the supervisor and the shell need is prepared before fork: they must not allocate.
  std::string sh = kShell, dash_c = "-c", cmd = command;
  char* const argv[] = {sh.data(), dash_c.data(), cmd.data(), nullptr};

  Fd out_r, out_w, err_r, err_w, channel, their_channel;
  make_pipe(out_r, out_w);
  make_pipe(err_r, err_w);
  make_channel(channel, their_channel);
  Launch launch{argv,        cwd ? cwd->c_str() : nullptr, sandbox, out_w.get(),
                err_w.get(), their_channel.get(),          {}};

  // All signals are blocked across the fork, so that none runs a handler of the host in the
  // supervisor before it has settled; this thread gets its own mask back at once.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &launch.caller_mask);
  const auto deadline = Clock::now() + timeout;
  const pid_t pid = ::fork();
  if (pid == 0) supervisor_main(launch);
  const int fork_errno = errno;
  pthread_sigmask(SIG_SETMASK, &launch.caller_mask, nullptr);
  if (pid < 0) throw OpError(os_error_message(fork_errno));

  Supervisor supervisor(pid, std::move(channel));
  out_w.reset();
  err_w.reset();
  their_channel.reset();

  Report first{};
  if (!supervisor.receive(first))
    throw OpError("the shell's supervisor process ended unexpectedly");
  if (first.kind == Report::fork_failed) {
    supervisor.release();
    throw OpError(os_error_message(first.value));
  }
  if (first.kind == Report::exec_failed) {
    supervisor.release();
    // subprocess names the working directory when chdir failed, else the program.
    if (first.stage == kStageSandbox)
      throw OpError("the shell could not enter the roots' Landlock domain: " +
                    os_error_message(first.value));
    const std::string what = first.stage == kStageChdir ? text::fsdecode(*cwd) : kShell;
    throw OpError(os_error_message(first.value, what));
  }

  for (Fd* fd : {&out_r, &err_r}) {
    ::fcntl(fd->get(), F_SETFL, ::fcntl(fd->get(), F_GETFL) | O_NONBLOCK);
#ifdef F_SETPIPE_SZ
    // Larger pipes mean fewer wake-ups of both sides for chatty commands; a refusal is harmless.
    ::fcntl(fd->get(), F_SETPIPE_SZ, 1 << 20);
#endif
  }

  ShellRun run;
  bool exited = false;
  auto stop_with = [&](ShellRun::Status why) {
    supervisor.kill();
    ShellRun r;
    r.status = why;
    return r;
  };

  // A signal shows as EINTR only when it arrives during the poll; a command that keeps writing
  // keeps this loop out of it, so signal handlers are also given their turn every so often.
  constexpr std::chrono::milliseconds kSignalTurn{100};
  auto next_turn = Clock::now() + kSignalTurn;
  while (out_r.valid() || err_r.valid() || !exited) {
    const auto now = Clock::now();
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    if (left.count() <= 0) return stop_with(ShellRun::Status::timed_out);
    if (now >= next_turn) {
      next_turn = now + kSignalTurn;
      if (should_stop && should_stop()) return stop_with(ShellRun::Status::interrupted);
    }

    pollfd fds[3];
    nfds_t n = 0;
    int out_i = -1, err_i = -1, sup_i = -1;
    if (out_r.valid()) fds[out_i = static_cast<int>(n++)] = {out_r.get(), POLLIN, 0};
    if (err_r.valid()) fds[err_i = static_cast<int>(n++)] = {err_r.get(), POLLIN, 0};
    if (!exited) fds[sup_i = static_cast<int>(n++)] = {supervisor.channel(), POLLIN, 0};
    const int wait_ms = static_cast<int>(std::min<long long>(left.count(), 60'000));

    const int ready = ::poll(fds, n, wait_ms);
    if (ready < 0) {
      if (errno != EINTR) throw OpError(os_error_message(errno));
      if (should_stop && should_stop()) return stop_with(ShellRun::Status::interrupted);
      continue;
    }
    // One more byte than the bound is read, so that reaching it tells the bound was passed.
    for (auto [i, fd, sink] :
         {std::tuple{out_i, &out_r, &run.out}, std::tuple{err_i, &err_r, &run.err}}) {
      if (i < 0 || !fds[i].revents) continue;
      const std::size_t used = run.out.size() + run.err.size();
      drain(*fd, *sink, output_limit - std::min(used, output_limit) + 1);
      if (run.out.size() + run.err.size() > output_limit)
        return stop_with(ShellRun::Status::output_limit);
    }
    if (sup_i >= 0 && fds[sup_i].revents) {
      Report r{};
      if (!supervisor.receive(r))
        throw OpError("the shell's supervisor process ended unexpectedly");
      if (r.kind == Report::exited) {
        run.exit_code = r.value;
        exited = true;
      }
    }
  }
  supervisor.release();
  return run;
}

}  // namespace talmek::steerix
