// File descriptors and whole-file I/O at the system-call level, shared by both modules (no
// Python.h). Failures come back as errno values, so that each caller words them as its own
// operation does.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

namespace talmek {

// An owning file descriptor: closed when it goes out of scope.
class Fd {
 public:
  Fd() noexcept = default;
  explicit Fd(int fd) noexcept : m_fd(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& other) noexcept : m_fd(other.release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const noexcept { return m_fd; }
  bool valid() const noexcept { return m_fd >= 0; }
  int release() noexcept {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
  }
  // Closes the descriptor held (if any) and takes `fd` instead.
  void reset(int fd = -1) noexcept;
  // Closes now and returns close()'s result, so that a deferred write error is not lost.
  int close_now() noexcept;

 private:
  int m_fd = -1;
};

// open(os_path, flags | O_CLOEXEC | O_NONBLOCK, 0666) and fstat of what was opened. Opening
// without blocking means a FIFO or other special file named as a file fails or answers at once
// instead of stalling the process; a regular file then gets ordinary blocking I/O back.
// Returns 0 with `fd` and `st` set, or the errno of the failed open or fstat.
int open_nonblocking(const char* os_path, int flags, Fd& fd, struct stat& st) noexcept;

// Reads from fd until end of file, appending to `out`. For a regular file (`st` from
// open_nonblocking) room for its size is reserved first and the content is read straight into
// the string, without a copy. EINTR is retried. Returns 0, or the errno of the read that failed
// (EAGAIN from a FIFO whose writer has nothing to say yet included); what was read before it
// stays in `out`.
int read_all(int fd, const struct stat& st, std::string& out);

// Writes all of `bytes`, retrying EINTR and short writes. Returns 0 or the errno of the failure.
int write_all(int fd, std::string_view bytes) noexcept;

}  // namespace talmek
