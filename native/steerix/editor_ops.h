// The text editor tool's file work and text transformations, as plain C++ (no Python.h).
//
// Paths are texts (our UTF-8) exactly as the tool uses them, after "~" expansion; failures throw
// talmek::OpError worded as CPython words them, naming the path that Python's open() or
// Path.mkdir() would name. Files are text in the platform's default encoding, UTF-8 here.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace talmek::steerix::editor {

// A character or block device named as the file: refused by every command, since reading one
// whole may never end (/dev/zero) and writing text onto one is never what was meant. `kind` is
// "character device" or "block device".
struct SpecialFile {
  const char* kind;
};

// A view whose text would pass `limit` bytes (or a file that is not a regular one and gives more
// than that): no request to the model could carry it.
struct TooLarge {
  std::size_t limit;
  bool not_regular;  // the file is a FIFO or the like, which can only be read whole
};

// open(path).read(): strict UTF-8 decoding, "\r\n" and a lone "\r" read as "\n". A FIFO without a
// writer reads as empty instead of blocking; one that gives more than `limit` bytes throws
// TooLarge. Devices throw SpecialFile.
std::string read_text(std::string_view path, std::size_t limit);

// open(path, "w").write(text), except that text that cannot be encoded fails before the file is
// opened, a device (SpecialFile) is refused before it is opened, and the file is replaced as
// os::replace_file replaces it: a full disk or a killed process leaves the old content or the
// new one, never an emptied or half-written file.
void write_text(std::string_view path, std::string_view text);

// Path(path).parent.mkdir(parents=True, exist_ok=True).
void make_parent_dirs(std::string_view path);

// The numbered lines of `content` for a view: lines[lo:hi] of content.splitlines() (with
// Python's slice clamping; no range means all lines), each as f"{n:4d} | {line}" numbered from 1,
// joined by "\n", appended to `out`.
struct Range {
  std::ptrdiff_t lo;
  std::ptrdiff_t hi;
};
void append_numbered_lines(std::string& out, std::string_view content, std::optional<Range> range);

// The same for the file at `path`, as append_numbered_lines(out, read_text(path), range) would
// give, but read piece by piece: only the lines shown are kept, so a few lines of a huge file
// cost what they show, and a view whose text (`out` included) passes `limit` bytes stops with
// TooLarge instead of growing. Every byte of the file is still read and checked, so a decoding
// error anywhere fails the view as it fails open(path).read(). A range with a bound counted from
// the end reads a regular file twice: once to count its lines. Errors as read_text's.
void append_file_view(std::string& out, std::string_view path, std::optional<Range> range,
                      std::size_t limit);

// Content with the first occurrence of `old_text` replaced by `new_text`; nullopt when absent.
std::optional<std::string> replace_first(std::string_view content, std::string_view old_text,
                                         std::string_view new_text);

// lines = content.splitlines(keepends=True); lines.insert(position, new_text + "\n");
// "".join(lines).
std::string insert_line(std::string_view content, std::ptrdiff_t position,
                        std::string_view new_text);

}  // namespace talmek::steerix::editor
