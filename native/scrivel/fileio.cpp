// Whole-file reads and writes that never block on special files.
#include "scrivel/fileio.h"

#include <algorithm>
#include <cstring>

#include "common/os_error.h"
#include "common/text.h"
#include "platform/os.h"

namespace talmek::scrivel {

namespace {

// Opens `path` for reading; a directory fails as open() fails on it (EISDIR where the system
// opens directories for reading at all), a device as refuse_device() refuses it.
void open_for_read(std::string_view path, const os::OsPath& p, os::File& f, os::Stat& st) {
  if (const os::Error e = os::open_file(p, os::Access::Read, f, &st))
    throw os::Failure(e, std::string(path));
  if (st.is_dir()) throw os::Failure(os::Error::of(os::ErrorKind::IsDirectory), std::string(path));
  refuse_device(path, st);
}

}  // namespace

void refuse_device(std::string_view path, const os::Stat& st) {
  const char* kind = st.type == os::FileType::CharDevice    ? "character device"
                     : st.type == os::FileType::BlockDevice ? "block device"
                                                            : nullptr;
  // In the words of shutil's SpecialFileError for a named pipe.
  if (kind) throw OpError("`" + std::string(path) + "` is a " + kind);
}

std::string read_whole_file(std::string_view path, std::int64_t* size) {
  const os::OsPath p = os::os_path(path);
  os::File f;
  os::Stat st;
  // A device is refused before it is opened: opening one can act by itself (a tape rewinds).
  if (!os::stat(p, st)) refuse_device(path, st);
  open_for_read(path, p, f, st);
  std::string data;
  if (const os::Error e = os::read_all(f, st.is_regular() ? st.size : 0, data))
    throw os::Failure(e, std::string(path));
  if (size) {
    // The status after the read: the one taken at the open while the file still holds what it
    // held then (as many bytes were read as it had), else asked again.
    if (!st.is_regular() || static_cast<std::uint64_t>(st.size) != data.size())
      if (const os::Error e = os::file_stat(f, st)) throw os::Failure(e, std::string(path));
    *size = st.size;
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
  const os::OsPath p = os::os_path(path);
  os::File f;
  os::Stat st;
  open_for_read(path, p, f, st);
  buf.m_size = 0;
  // One byte more than the size, so that the read that sees the end needs no growth.
  if (st.is_regular() && st.size > 0) buf.reserve(static_cast<std::size_t>(st.size) + 1);
  for (;;) {
    if (buf.m_size == buf.m_cap) buf.reserve(buf.m_cap + 65536);
    std::size_t n = 0;
    if (const os::Error e =
            os::read_some(f, buf.m_data.get() + buf.m_size, buf.m_cap - buf.m_size, n))
      throw os::Failure(e, std::string(path));
    if (n == 0) break;
    buf.m_size += n;
  }
  return buf.view();
}

std::string_view encode_for_file(std::string_view t, std::string& scratch) {
  std::string error;
  if (!text::check_encodable(t, error)) throw OpError(error);
  if constexpr (os::kLineSeparator == "\n") {
    return t;
  } else {
    scratch.clear();
    scratch.reserve(t.size() + t.size() / 32);
    for (char c : t) {
      if (c == '\n')
        scratch += os::kLineSeparator;
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

std::int64_t write_whole_file(std::string_view path, std::string_view bytes, bool append) {
  const os::OsPath p = os::os_path(path);
  os::Dir dir;
  std::string name;
  std::int64_t size = 0;
  os::Error e = os::open_parent(p, dir, name);
  if (!e)
    e = append ? os::append_file(dir, name, bytes, &size)
               : os::replace_file(dir, name, bytes, &size);
  if (e) throw os::Failure(e, std::string(path));
  return size;
}

}  // namespace talmek::scrivel
