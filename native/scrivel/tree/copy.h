// shutil.copy2, copystat and copytree, for the worker's copy and for the cross-device move.
//
// Paths are in the OS's form (see os_paths.h); failures throw os::Failure, or OpError with
// shutil's own texts.
#pragma once

#include <string>
#include <string_view>

namespace talmek::scrivel::tree {

// shutil.copy2(src, dst): content, permission bits, access and modification times to the
// nanosecond and extended attributes; into an existing directory under the source's name; an
// existing file overwritten. Returns the path written.
std::string copy2(const std::string& src, const std::string& dst);

// shutil.copystat(src, dst, follow_symlinks=...).
void copystat(const std::string& src, const std::string& dst, bool follow_symlinks);

// shutil.copytree(src, dst, symlinks=symlinks) with the other options at their defaults: `dst`
// must not exist; links inside the tree are followed (symlinks false) or recreated as links
// (symlinks true); failures of single entries are collected and thrown together after the walk
// as str(shutil.Error(errors)).
void copytree(const std::string& src, const std::string& dst, bool symlinks);

// shutil._destinsrc for resolved paths: whether `dst` is `src` or lies below it.
bool destinsrc(std::string_view src, std::string_view dst);

}  // namespace talmek::scrivel::tree
