// Entry records: one followed status query per entry that is not known to be a directory.
#include "scrivel/walk/entry_record.h"

#include "platform/os.h"

namespace talmek::scrivel::walk {

Value entry_record(std::string path_text, const std::string& os_path, EntryKind kind,
                   const Status& status) {
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
  Object rec;
  rec.reserve(3);
  rec.push_back({"path", Value(std::move(path_text))});
  rec.push_back({"type", Value(is_dir ? "dir" : "file")});
  rec.push_back({"size", Value(size)});
  return Value(std::move(rec));
}

}  // namespace talmek::scrivel::walk
