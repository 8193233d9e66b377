// The shared frame of copy_file and move_file.
#include "scrivel/ops/transfer.h"

namespace talmek::scrivel {

bool resolve_transfer(std::string_view src, std::string_view dst, Transfer& t) {
  t.src_path = os::resolve(src);
  t.dst_path = os::resolve(dst);
  t.os_src = os::os_path(t.src_path);
  t.os_dst = os::os_path(t.dst_path);
  return !os::stat(t.os_src, t.src_st);
}

Value source_not_found(std::string_view src) {
  return fail_record("Source not found: " + std::string(src));
}

Value transfer_done(const Transfer& t) {
  Object result;
  result.push_back({"from", Value(t.src_path)});
  result.push_back({"to", Value(t.dst_path)});
  return ok_record(Value(std::move(result)));
}

}  // namespace talmek::scrivel
