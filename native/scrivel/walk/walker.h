// The tree walk shared by find_files, grep_files and list_dir: Path.rglob's selection rules.
//
// RGlob::compile parses a pattern as Path.rglob does (the pattern joined under "**", split into
// components, "." dropped, a trailing separator kept) and builds the chain of selectors of
// CPython's glob._GlobberBase: a recursive walk for "**", a path append for literal components,
// a directory scan filtered by a NameMatcher for wildcard components, special handling for ""
// and "..". Its walk yields the same paths in the same order as Path.rglob (each path once), in
// the OS's form, to a callback that can stop the walk at any point: nothing is collected up front.
//
// What the walk inherits from rglob: hidden entries are included; "**" does not enter links to
// directories (they are listed, not entered); a directory that cannot be opened or read is
// skipped silently; a literal or wildcard component in the middle of a pattern does name (and so
// enter) a linked directory, as rglob does.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os.h"
#include "scrivel/walk/fnmatch.h"

namespace talmek::scrivel::walk {

// What the walk knows about a yielded entry without asking the file system again (Unknown for a
// path not from a directory scan: a literal component, the root).
using EntryKind = os::EntryKind;

// The followed status of an entry (Path.is_dir(), Path.is_file(), stat().st_size), when the walk
// was asked for it and the entry came from a directory scan: queried while the directory is open,
// which spares the system a lookup of the whole path per entry.
using Status = os::EntryStatus;

// Called for each yielded path (in the OS's form). Return false to stop the walk.
using Sink = std::function<bool(std::string_view path, EntryKind kind, const Status& status)>;

class RGlob {
 public:
  // Path.rglob(pattern)'s parsing. Throws OpError with pathlib's message for an absolute
  // pattern ("Non-relative patterns are unsupported") and fnmatch's for a bad component.
  static RGlob compile(std::string_view pattern);

  // Walks below `root` (a resolved absolute path, in the OS's form). Returns false when the sink
  // stopped the walk.
  // With `with_status`, entries from directory scans carry their followed status.
  bool walk(std::string_view root, const Sink& sink, bool with_status = false) const;

 private:
  struct Part {
    enum Type : std::uint8_t { Recursive, Special, Literal, Wildcard } type;
    std::string text;                      // Special / Literal: bytes appended to the path
    std::shared_ptr<NameMatcher> matcher;  // Wildcard (null for "*")
  };
  class Walk;

  std::vector<Part> m_parts;
  enum class Trailing : std::uint8_t { None, Slash, DoubleStar } m_trailing = Trailing::None;
  bool m_dedupe = false;  // an inner "**" can reach one path along several routes
};

}  // namespace talmek::scrivel::walk
