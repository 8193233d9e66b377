// The shared frame of copy_file and move_file.
#include "scrivel/ops/transfer.h"

#include "scrivel/path.h"

namespace talmek::scrivel {

bool resolve_transfer(std::string_view src, std::string_view dst, Transfer& t) {
  t.src_path = resolve_path(src);
  t.dst_path = resolve_path(dst);
  t.os_src = os_path(t.src_path);
  t.os_dst = os_path(t.dst_path);
  return ::stat(t.os_src.c_str(), &t.src_st) == 0;
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
