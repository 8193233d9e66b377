// shutil.rmtree, the descriptor-based variant (_rmtree_safe_fd), for the worker's delete and
// for the cross-device move.
#pragma once

#include <memory>
#include <string>

#include "platform/os.h"

namespace talmek::scrivel::tree {

// Removes the directory `path` (OS form, absolute) with everything below it. Symbolic links
// inside the tree are removed as links and never followed; entries that vanish meanwhile are
// passed over; the first other failure ends the removal and throws os::Failure (CPython's
// OSError), naming the full path of the entry concerned. A link at `path` itself is refused.
void rmtree(const std::string& path);

// The same for the entry of `parent` whose name ends `path` (its last component): the removal
// starts from that open directory and never looks its path up again.
void rmtree_at(std::shared_ptr<const os::Dir> parent, const std::string& path);

}  // namespace talmek::scrivel::tree
