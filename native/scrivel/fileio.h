// Whole-file reads and writes for the operations, over the platform layer.
//
// Files are opened so that a FIFO or other special file named as a file can never block the
// worker (see os::open_file). Error texts name the path text given here, as Python's open()
// names the path it was given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/os.h"

namespace talmek::scrivel {

// The whole content of the file at `path` (a resolved path text). Throws os::Failure or OpError
// (a device, as refuse_device() refuses it, before it is opened).
// With `size`, also stores the file's size as its status reports it once the content is read
// (the status of the file just read, without walking the path again).
std::string read_whole_file(std::string_view path, std::int64_t* size = nullptr);

// Storage reused from file to file by an operation that reads many files one after another: no
// allocation and no zero fill per file, only growth when a file is larger than any before it.
class ReadBuffer {
 public:
  std::string_view view() const noexcept { return {m_data.get(), m_size}; }

 private:
  friend std::string_view read_whole_file(std::string_view path, ReadBuffer& buf);
  void reserve(std::size_t want);
  std::unique_ptr<char[]> m_data;
  std::size_t m_cap = 0, m_size = 0;
};

// read_whole_file into `buf`, replacing what it held; the view stays valid until the next read
// into the same buffer. Throws as read_whole_file does.
std::string_view read_whole_file(std::string_view path, ReadBuffer& buf);

// Text to the bytes a text-mode UTF-8 write stores: strict encoding (a surrogate fails with the
// codec's message, before any file is touched), each "\n" written as the platform's separator.
std::string encode_for_file(std::string_view text);

// The same without a copy where none is needed: returns `text` itself when the platform writes
// "\n" as it is, otherwise the translated bytes held in `scratch`. Throws OpError as above.
std::string_view encode_for_file(std::string_view text, std::string& scratch);

// Writes `bytes` as the whole new content of `path` (os::replace_file: the old content or the new
// one survives any failure), or at its end (os::append_file: nothing of them stays when it
// fails). A missing file is created (mode 0666 less the umask). Returns the file's size after
// the write. Throws os::Failure.
std::int64_t write_whole_file(std::string_view path, std::string_view bytes, bool append);

// A character or block device is refused by the operations that read or copy whole contents:
// reading one may never end (/dev/zero) or read a whole disk. Throws OpError
// ("`<path>` is a character device") for one; anything else passes.
void refuse_device(std::string_view path, const os::Stat& st);

}  // namespace talmek::scrivel
