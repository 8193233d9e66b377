// Port of shutil._rmtree_safe_fd / _rmtree_safe_fd_step (CPython 3.14), over the platform
// layer's directory handles.
//
// The walk holds an explicit stack, as CPython does, so that depth costs heap and not C stack.
// Each directory is opened relative to its parent's handle without following links and then
// compared with the status taken before the open: a directory swapped for a link between the
// two can never lead the removal outside the tree.
//
// Deliberate differences from CPython:
// - A failed unlink names the entry's full path. CPython's inner handler re-raises into the
//   outer one, which overwrites the file name with the containing directory's path.
// - An entry that was a directory when listed but is a link (or a file) when opened is unlinked
//   as what it now is; CPython raises "Cannot call rmtree on a symbolic link", whose str() is
//   the unhelpful "[Errno None] None: '<path>'".
// - On Windows the same walk runs over the layer's path-keeping handles, where CPython takes
//   its path-based _rmtree_unsafe.
#include "scrivel/tree/rmtree.h"

#include <memory>
#include <vector>

#include "common/os_error.h"
#include "common/text.h"
#include "platform/os.h"
#include "scrivel/tree/os_paths.h"

namespace talmek::scrivel::tree {

namespace {

enum class Func { lstat, close, rmdir };

struct Item {
  Func func;
  std::shared_ptr<const os::Dir> dir;  // the directory the name is relative to; empty: none
  std::string path;                    // full path, for messages
  std::size_t name_at;                 // where the name relative to `dir` starts in `path`
  bool top;                            // orig_entry is None
};

const os::Dir& dir_of(const Item& item) {
  static const os::Dir none;
  return item.dir ? *item.dir : none;
}

// One step of the walk. Returns normally or throws; handles on the stack are closed when the
// stack goes, whatever happens.
void rmtree_step(std::vector<Item>& stack) {
  Item item = std::move(stack.back());
  stack.pop_back();
  const std::string_view name = std::string_view(item.path).substr(item.name_at);
  if (item.func == Func::close) return;  // dropping the item closes the handle
  if (item.func == Func::rmdir) {
    const os::Error e = os::rmdir_at(dir_of(item), name);
    if (!e) return;
    // An entry (not the top) that vanished meanwhile is passed over.
    if (e.is(os::ErrorKind::NotFound) && !item.top) return;
    os::raise(e, item.path);
  }

  // func == lstat. The standard lstat()/open()/fstat() trick against link races.
  os::Stat orig_st;
  if (const os::Error e = os::stat_at(dir_of(item), name, false, orig_st)) {
    if (e.is(os::ErrorKind::NotFound) && !item.top) return;
    os::raise(e, item.path);
  }
  auto top = std::make_shared<os::Dir>();
  os::Stat st;
  if (const os::Error e = os::open_dir_at(dir_of(item), name, true, *top, &st)) {
    if (!top->valid()) {
      if (e.is(os::ErrorKind::NotFound) && !item.top) return;
      if ((e.is(os::ErrorKind::Loop) || e.is(os::ErrorKind::NotDirectory)) && !item.top) {
        // No longer a directory: remove whatever is there now without following it.
        const os::Error u = os::unlink_at(dir_of(item), name);
        if (!u || u.is(os::ErrorKind::NotFound)) return;
        os::raise(u, item.path);
      }
      os::raise(e, item.path);
    }
    // Opened, but its status could not be had.
    stack.push_back({Func::close, top, item.path, item.name_at, item.top});
    os::raise(e, item.path);
  }
  const bool same = orig_st.same_file(st);
  if (same) stack.push_back({Func::rmdir, item.dir, item.path, item.name_at, item.top});
  stack.push_back({Func::close, top, item.path, item.name_at, item.top});
  if (!same)
    throw OpError("Cannot call rmtree on a symbolic link: " + text::py_repr(text_of(item.path)));

  os::DirEntries entries;
  if (const os::Error e = os::read_dir(*top, entries)) os::raise(e, item.path);
  for (const auto& entry : entries.items) {
    const std::string_view entry_name = entries.name(entry);
    std::string fullname = join(item.path, entry_name);
    const std::size_t name_at = fullname.size() - entry_name.size();
    // entry.is_dir(follow_symlinks=False)
    bool is_dir = entry.kind == os::EntryKind::Directory;
    if (entry.kind == os::EntryKind::Unknown) {
      os::Stat est;
      const os::Error e = os::stat_at(*top, entry_name, false, est);
      if (!e) {
        is_dir = est.is_dir();
      } else if (e.is(os::ErrorKind::NotFound)) {
        continue;
      }
    }
    if (is_dir) {
      stack.push_back({Func::lstat, top, std::move(fullname), name_at, false});
      continue;
    }
    const os::Error e = os::unlink_at(*top, entry_name);
    if (!e || e.is(os::ErrorKind::NotFound)) continue;
    os::raise(e, fullname);
  }
}

}  // namespace

void rmtree(const std::string& path) {
  std::vector<Item> stack;
  stack.push_back({Func::lstat, nullptr, path, 0, true});
  while (!stack.empty()) rmtree_step(stack);
}

void rmtree_at(std::shared_ptr<const os::Dir> parent, const std::string& path) {
  std::vector<Item> stack;
  stack.push_back(
      {Func::lstat, std::move(parent), path, path.size() - basename(path).size(), true});
  while (!stack.empty()) rmtree_step(stack);
}

}  // namespace talmek::scrivel::tree
