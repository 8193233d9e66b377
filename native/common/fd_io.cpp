// File descriptors and whole-file I/O at the system-call level.
#include "common/fd_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace talmek {

void Fd::reset(int fd) noexcept {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = fd;
}

int Fd::close_now() noexcept {
  const int rc = ::close(m_fd);
  m_fd = -1;
  return rc;
}

int open_nonblocking(const char* os_path, int flags, Fd& fd, struct stat& st) noexcept {
  fd.reset(::open(os_path, flags | O_CLOEXEC | O_NONBLOCK, 0666));
  if (!fd.valid()) return errno;
  if (::fstat(fd.get(), &st) != 0) return errno;
  if (S_ISREG(st.st_mode)) {
    const int fl = ::fcntl(fd.get(), F_GETFL);
    if (fl >= 0) ::fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK);
  }
  return 0;
}

int read_all(int fd, const struct stat& st, std::string& out) {
  // One byte more than the size, so that the read that sees the end needs no other buffer.
  if (S_ISREG(st.st_mode) && st.st_size > 0)
    out.reserve(out.size() + static_cast<std::size_t>(st.st_size) + 1);
  char buf[65536];
  for (;;) {
    if (out.capacity() > out.size()) {
      // Read straight into the string's spare capacity: no copy of the contents.
      const std::size_t old = out.size();
      const std::size_t room = out.capacity() - old;
      out.resize(out.capacity());
      const ssize_t n = ::read(fd, out.data() + old, room);
      if (n < 0) {
        out.resize(old);
        if (errno == EINTR) continue;
        return errno;
      }
      out.resize(old + static_cast<std::size_t>(n));
      if (n == 0) return 0;
      continue;
    }
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return 0;
    out.append(buf, static_cast<std::size_t>(n));
  }
}

int write_all(int fd, std::string_view bytes) noexcept {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

}  // namespace talmek
