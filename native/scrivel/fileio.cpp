// Whole-file reads and writes that never block on special files.
#include "scrivel/fileio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/os_error.h"
#include "common/paths.h"
#include "common/text.h"
#include "scrivel/path.h"
#include "scrivel/platform.h"

namespace talmek::scrivel {

namespace {
class Fd {
 public:
  explicit Fd(int fd) : m_fd(fd) {}
  ~Fd() {
    if (m_fd >= 0) ::close(m_fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return m_fd; }
  // Closes now and reports close()'s own failure (a deferred write error, for example).
  int close_now() {
    const int rc = ::close(m_fd);
    m_fd = -1;
    return rc;
  }

 private:
  int m_fd;
};

// Clears O_NONBLOCK on a regular file, so that reads and writes behave normally.
void settle(int fd, const struct stat& st) {
  if (S_ISREG(st.st_mode)) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  }
}
}  // namespace

std::string read_whole_file(std::string_view path, std::int64_t* size) {
  const std::string p = os_path(path);
  Fd fd(::open(p.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) throw_os_error(errno, path);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) throw_os_error(errno, path);
  if (S_ISDIR(st.st_mode)) throw_os_error(EISDIR, path);
  settle(fd.get(), st);
  std::string data;
  if (S_ISREG(st.st_mode) && st.st_size > 0) data.reserve(static_cast<std::size_t>(st.st_size) + 1);
  char buf[65536];
  for (;;) {
    if (data.capacity() > data.size()) {
      // Read straight into the string's spare capacity: no copy of the contents.
      const std::size_t old = data.size();
      const std::size_t room = data.capacity() - old;
      data.resize(data.capacity());
      const ssize_t n = ::read(fd.get(), data.data() + old, room);
      if (n < 0) {
        data.resize(old);
        if (errno == EINTR) continue;
        throw_os_error(errno, path);
      }
      data.resize(old + static_cast<std::size_t>(n));
      if (n == 0) break;
      continue;
    }
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_os_error(errno, path);
    }
    if (n == 0) break;
    data.append(buf, static_cast<std::size_t>(n));
  }
  if (size) {
    if (::fstat(fd.get(), &st) != 0) throw_os_error(errno, path);
    *size = static_cast<std::int64_t>(st.st_size);
  }
  return data;
}

std::string_view encode_for_file(std::string_view t, std::string& scratch) {
  std::string error;
  if (!text::check_encodable(t, error)) throw OpError(error);
  if constexpr (platform::kLineSeparator == "\n") {
    return t;
  } else {
    scratch.clear();
    scratch.reserve(t.size() + t.size() / 32);
    for (char c : t) {
      if (c == '\n')
        scratch += platform::kLineSeparator;
      else
        scratch += c;
    }
    return scratch;
  }
}

std::string encode_for_file(std::string_view t) {
  std::string scratch;
  const std::string_view bytes = encode_for_file(t, scratch);
  if (bytes.data() == scratch.data()) return scratch;
  return std::string(bytes);
}

void write_whole_file(std::string_view path, std::string_view bytes, bool append) {
  const std::string p = os_path(path);
  const int mode = O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | (append ? O_APPEND : O_TRUNC);
  Fd fd(::open(p.c_str(), mode, 0666));
  if (fd.get() < 0) throw_os_error(errno, path);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) throw_os_error(errno, path);
  settle(fd.get(), st);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_os_error(errno, path);
    }
    done += static_cast<std::size_t>(n);
  }
  if (fd.close_now() != 0) throw_os_error(errno, path);
}

bool path_exists(std::string_view resolved) {
  try {
    const std::string p = os_path(resolved);
    struct stat st;
    return ::stat(p.c_str(), &st) == 0;
  } catch (const OpError&) {
    return false;
  }
}

std::int64_t file_size(std::string_view path) {
  const std::string p = os_path(path);
  struct stat st;
  if (::stat(p.c_str(), &st) != 0) throw_os_error(errno, path);
  return static_cast<std::int64_t>(st.st_size);
}

void make_dirs(std::string_view path) {
  // Path.mkdir(parents=True, exist_ok=True): try the directory; on ENOENT make the parent first.
  const std::string p = os_path(path);
  if (::mkdir(p.c_str(), 0777) == 0) return;
  int err = errno;
  if (err == ENOENT) {
    const std::string_view parent = paths::parent_of(path);
    if (parent != path) {
      make_dirs(parent);
      if (::mkdir(p.c_str(), 0777) == 0) return;
      err = errno;
    }
  }
  struct stat st;
  // exist_ok: an existing directory (a link to one included) is fine; anything else re-raises.
  if (err != ENOENT && ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;
  throw_os_error(err, path);
}

}  // namespace talmek::scrivel
