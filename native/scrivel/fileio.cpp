// Whole-file reads and writes that never block on special files.
#include "scrivel/fileio.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/fd_io.h"
#include "common/os_error.h"
#include "common/paths.h"
#include "common/text.h"
#include "scrivel/path.h"
#include "scrivel/platform.h"

namespace talmek::scrivel {

std::string read_whole_file(std::string_view path, std::int64_t* size) {
  const std::string p = os_path(path);
  Fd fd;
  struct stat st;
  if (const int err = open_nonblocking(p.c_str(), O_RDONLY, fd, st)) throw_os_error(err, path);
  if (S_ISDIR(st.st_mode)) throw_os_error(EISDIR, path);
  std::string data;
  if (const int err = read_all(fd.get(), st, data)) throw_os_error(err, path);
  if (size) {
    if (::fstat(fd.get(), &st) != 0) throw_os_error(errno, path);
    *size = static_cast<std::int64_t>(st.st_size);
  }
  return data;
}

void ReadBuffer::reserve(std::size_t want) {
  if (want <= m_cap) return;
  const std::size_t cap = std::max(want, m_cap * 2);
  auto grown = std::make_unique_for_overwrite<char[]>(cap);
  if (m_size) std::memcpy(grown.get(), m_data.get(), m_size);
  m_data = std::move(grown);
  m_cap = cap;
}

std::string_view read_whole_file(std::string_view path, ReadBuffer& buf) {
  const std::string p = os_path(path);
  Fd fd;
  struct stat st;
  if (const int err = open_nonblocking(p.c_str(), O_RDONLY, fd, st)) throw_os_error(err, path);
  if (S_ISDIR(st.st_mode)) throw_os_error(EISDIR, path);
  buf.m_size = 0;
  // One byte more than the size, so that the read that sees the end needs no growth.
  if (S_ISREG(st.st_mode) && st.st_size > 0) buf.reserve(static_cast<std::size_t>(st.st_size) + 1);
  for (;;) {
    if (buf.m_size == buf.m_cap) buf.reserve(buf.m_cap + 65536);
    const ssize_t n = ::read(fd.get(), buf.m_data.get() + buf.m_size, buf.m_cap - buf.m_size);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_os_error(errno, path);
    }
    if (n == 0) break;
    buf.m_size += static_cast<std::size_t>(n);
  }
  return buf.view();
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
  Fd fd;
  struct stat st;
  const int flags = O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC);
  if (const int err = open_nonblocking(p.c_str(), flags, fd, st)) throw_os_error(err, path);
  if (const int err = write_all(fd.get(), bytes)) throw_os_error(err, path);
  if (fd.close_now() != 0) throw_os_error(errno, path);
}

std::int64_t file_size(std::string_view path) {
  const std::string p = os_path(path);
  struct stat st;
  if (::stat(p.c_str(), &st) != 0) throw_os_error(errno, path);
  return static_cast<std::int64_t>(st.st_size);
}

}  // namespace talmek::scrivel
