// Placeholder: answers as an unknown action until the operation is built.
#include "scrivel/ops/ops.h"

namespace talmek::scrivel {

Value write_file(std::string_view, std::string_view, bool) { return fail_record("Unknown action: write"); }

}  // namespace talmek::scrivel
