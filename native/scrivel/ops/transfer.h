// What copy_file and move_file share: both paths resolved, the source's status, and the
// {"from": ..., "to": ...} result.
#pragma once

#include <string>
#include <string_view>

#include "platform/os.h"
#include "scrivel/json/value.h"

namespace talmek::scrivel {

struct Transfer {
  std::string src_path, dst_path;  // resolved texts
  os::OsPath os_src, os_dst;       // their OS forms
  os::Stat src_st;                 // the source's status (links followed)
};

// Resolves src, then dst (a failure of either throws OpError), and stats the source. False when
// the source cannot be stat'ed: it counts as missing.
bool resolve_transfer(std::string_view src, std::string_view dst, Transfer& t);

// {"success": false, "error": "Source not found: <src as given>"}
Value source_not_found(std::string_view src);

// {"success": true, "result": {"from": src_path, "to": dst_path}}
Value transfer_done(const Transfer& t);

// The frame of both operations: resolve, answer a missing source, run `body(const Transfer&)`,
// answer the two resolved paths. Runs inside the operation's guarded().
template <class Body>
Value transfer(std::string_view src, std::string_view dst, Body&& body) {
  Transfer t;
  if (!resolve_transfer(src, dst, t)) return source_not_found(src);
  body(static_cast<const Transfer&>(t));
  return transfer_done(t);
}

}  // namespace talmek::scrivel
