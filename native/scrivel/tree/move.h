// shutil.move, for the worker's move.
#pragma once

#include <string>

namespace talmek::scrivel::tree {

// shutil.move(src, dst) with copy2 as the copy function; paths are OS bytes. Throws OpError
// with shutil's texts ("Destination path '...' already exists", "Cannot move a directory '...'
// into itself '...'.") or CPython's OSError wording. Returns the real destination.
std::string move(const std::string& src, const std::string& dst);

// The message of shutil.move for a directory moved into its own subtree.
std::string move_into_itself_text(const std::string& src, const std::string& dst);

}  // namespace talmek::scrivel::tree
