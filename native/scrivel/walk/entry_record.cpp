// Entry records: one followed status query per entry that is not known to be a directory, and
// the record written straight in wire form (the keys and their order never vary).
#include "scrivel/walk/entry_record.h"

#include <charconv>

#include "platform/os.h"

namespace talmek::scrivel::walk {

void add_entry_record(json::ListBuilder& list, std::string_view path_text,
                      const std::string& os_path, EntryKind kind, const Status& status) {
  bool is_dir = kind == EntryKind::Directory;
  std::int64_t size = 0;
  if (status.known) {
    is_dir = status.is_dir;
    size = status.size;
  } else if (!is_dir) {
    // Path.is_dir() and Path.is_file() both answer False when the status query fails (a broken
    // link, an entry that vanished), which makes it a "file" of size 0.
    os::Stat st;
    if (!os::stat(os_path, st)) {
      is_dir = st.is_dir();
      if (st.is_regular()) size = st.size;
    }
  }
  std::string& o = list.begin_element();
  o += "{\"path\": ";
  json::encode_string(path_text, o);
  o += is_dir ? ", \"type\": \"dir\", \"size\": " : ", \"type\": \"file\", \"size\": ";
  char num[24];
  o.append(num, std::to_chars(num, num + sizeof num, size).ptr);
  o += '}';
  list.end_element();
}

}  // namespace talmek::scrivel::walk
