// The worker's main loop: request lines from standard input, replies to standard output, no
// Python objects.
//
// Lines are split as a text-mode stream splits them on this platform ("\n", "\r\n" and, where
// os::kStdinSplitsAtCarriageReturn, a lone "\r"), each line is decoded as strict UTF-8, stripped
// as str.strip() strips, decoded as JSON, dispatched, and its reply written in full (its line end
// as text-mode output writes it) before the next line is looked at. The read buffer and the reply
// buffer live for the whole loop, so serving a line allocates nothing but the request's own
// values and the operation's result.
#include "scrivel/main_loop.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "common/text.h"
#include "platform/os.h"
#include "scrivel/dispatch.h"
#include "scrivel/guard.h"
#include "scrivel/json/decode.h"
#include "scrivel/json/encode.h"

namespace talmek::scrivel {

namespace {

constexpr std::size_t kReadBlock = 1 << 16;

// Appends the reply to one request text (a whole line, its line end removed) to `out`, with its
// line feed; appends nothing for a blank line. Sets `quit` after a "quit" request. A long reply
// goes out through the spill of `out` as it is encoded (the record is complete by then: its
// bytes only remain to be written).
void process_line(std::string_view line, json::Output& out, bool& quit) {
  const std::string_view text = text::strip(line);
  if (text.empty()) return;
  Value request;
  json::DecodeError err;
  if (!json::decode(text, request, err)) {
    json::encode(fail_record("Invalid JSON: " + err.message()), out);
  } else {
    const Value record = handle_command(request);
    quit = is_quit_request(request);
    json::encode(record, out);
  }
  out.out += '\n';
}

// The reply to a request that ran out of memory anywhere (its decoding, a check of its
// arguments, the encoding of a large result) before any of its reply went out: one failure
// record, as the guard words one.
void out_of_memory(std::string& out) {
  std::string().swap(out);  // what the reply had grown to goes first
  json::encode(fail_record(std::string(kOutOfMemory)), out);
  out += '\n';
}

void process_line(std::string_view line, std::string& out, bool& quit) {
  json::Output all{out, nullptr};
  try {
    process_line(line, all, quit);
  } catch (const std::bad_alloc&) {
    out_of_memory(out);  // the request and its result are gone by now
  }
}

// A write to the reply stream failed part-way through a reply.
struct WriteFailed {
  os::Error error;
};
// The diagnostic of a worker that ends on an error, as Python's last line of a traceback.
int die(std::string_view kind, std::string_view message) {
  std::string line(kind);
  if (!message.empty()) {
    line += ": ";
    line += message;
  }
  line += '\n';
  os::write_stderr(line);
  return 1;
}

int die(const os::Error& e) { return die(os::python_class(e), os::describe(e)); }

// The end of the line that starts at `from`: the first "\n" (or "\r" where a lone carriage
// return ends a line), or `len`.
std::size_t line_end(const char* data, std::size_t from, std::size_t len) noexcept {
  std::size_t end = from;
  if constexpr (os::kStdinSplitsAtCarriageReturn) {
    while (end < len && data[end] != '\n' && data[end] != '\r') ++end;
  } else {
    const void* nl = std::memchr(data + from, '\n', len - from);
    end = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - data) : len;
  }
  return end;
}

}  // namespace

std::string handle_line(std::string_view raw_line, bool& quit) {
  quit = false;
  std::string out;
  process_line(raw_line, out, quit);
  return out;
}

int serve() {
  // buf[0, len) holds unread input; the current line starts at `pos`, and the search for its
  // end resumes at `scan`. The buffer grows only for a line longer than it.
  std::vector<char> buf(kReadBlock);
  std::size_t len = 0, pos = 0, scan = 0;
  bool skip_lf = false;  // the last line ended with a "\r" at the end of the input read so far
  bool eof = false;
  // A line longer than memory can hold: its bytes are read and dropped up to its end, and it is
  // answered as a request that ran out of memory, so the replies stay paired with the requests.
  bool dropping = false;
  std::string reply;
  // Replies longer than a megabyte are written as they are encoded, never held whole.
  bool spilled = false;  // some of the current reply has gone out
  json::Output stream{reply, [&spilled](std::string_view bytes) {
                        spilled = true;
                        if (const os::Error e = os::write_stdout(bytes)) throw WriteFailed{e};
                      }};
  try {
    for (;;) {
      const char* data = buf.data();
      const std::size_t end = line_end(data, scan, len);
      if (end == len && !eof) {
        // Keep the partial line at the front (moved once, not at every read of a long line)
        // and read the next block after it.
        if (pos > 0) {
          std::memmove(buf.data(), buf.data() + pos, len - pos);
          len -= pos;
          pos = 0;
        }
        if (dropping) len = 0;
        scan = len;
        if (buf.size() - len < kReadBlock / 2) {
          try {
            buf.resize(buf.size() * 2);
          } catch (const std::bad_alloc&) {
            dropping = true;
            len = scan = 0;
          }
        }
        std::size_t n = 0;
        if (const os::Error e = os::read_stdin(buf.data() + len, buf.size() - len, n))
          return die(e);
        if (n == 0) eof = true;
        if (skip_lf && n > 0) {
          if (len == 0 && buf[0] == '\n') pos = scan = 1;
          skip_lf = false;
        }
        len += n;
        continue;
      }
      if (end == len && end == pos && !dropping) return 0;  // end of input after a complete line
      const std::string_view raw(data + pos, end - pos);
      // A lone "\r" ends its line at once: a host that ends requests with "\r" is answered
      // without waiting for the byte that would tell "\r" from "\r\n".
      std::size_t next = end;
      if (end < len) {
        next = end + 1;
        if (os::kStdinSplitsAtCarriageReturn && data[end] == '\r') {
          if (next < len) {
            if (data[next] == '\n') ++next;
          } else {
            skip_lf = true;
          }
        }
      }
      reply.clear();
      spilled = false;
      bool quit = false;
      const bool dropped = dropping;
      if (dropping) {
        dropping = false;
        out_of_memory(reply);
      } else if (text::is_valid_utf8(raw)) {
        try {
          process_line(raw, stream, quit);
        } catch (const std::bad_alloc&) {
          // Part of the reply is out: the line cannot get a whole one, and the worker ends.
          if (spilled) throw;
          out_of_memory(reply);
        }
      } else {
        std::string codec_error;
        text::decode_utf8_strict(raw, codec_error);
        json::encode(fail_record("Invalid JSON: " + codec_error), reply);
        reply += '\n';
      }
      if (!reply.empty()) {
        // Text-mode output: the reply's one "\n" goes out as the platform's line separator.
        if constexpr (os::kLineSeparator != "\n") {
          reply.pop_back();
          reply += os::kLineSeparator;
        }
        if (const os::Error e = os::write_stdout(reply)) return die(e);
      }
      if (quit) return 0;
      pos = scan = next;
      if (dropped) {
        // The buffer grew as large as memory let it: back to its first size, with what
        // follows the dropped line.
        std::vector<char> fresh(std::max(kReadBlock, 2 * (len - pos)));
        std::memcpy(fresh.data(), buf.data() + pos, len - pos);
        buf.swap(fresh);
        len -= pos;
        pos = scan = 0;
      }
    }
  } catch (const WriteFailed& e) {
    return die(e.error);
  } catch (const ContractError& e) {
    return die(py_error_name(e.py_class()), e.what());
  } catch (const FatalRequestError& e) {
    return die(py_error_name(e.py_class()), e.what());
  } catch (const std::bad_alloc&) {
    return die("MemoryError", "");
  }
}

}  // namespace talmek::scrivel
