// The entry record that list_dir and find_files answer with: "path", "type", "size".
#pragma once

#include <string>
#include <string_view>

#include "scrivel/json/encode.h"
#include "scrivel/walk/walker.h"

namespace talmek::scrivel::walk {

// Appends {"path": path_text, "type": "dir"|"file", "size": n} to `list` in wire form, as
// json.dumps writes the dictionary. "type" follows links (Path.is_dir()); "size" is the followed
// status's st_size for a regular file and 0 for anything else. The status from the walk is used
// when it is known; `kind` spares the query for a real directory; otherwise `os_path` is asked.
void add_entry_record(json::ListBuilder& list, std::string_view path_text,
                      const std::string& os_path, EntryKind kind, const Status& status);

}  // namespace talmek::scrivel::walk
