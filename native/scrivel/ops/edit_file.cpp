// Placeholder: answers as an unknown action until the operation is built.
#include "scrivel/ops/ops.h"

namespace talmek::scrivel {

Value edit_file(std::string_view, const Array&) { return fail_record("Unknown action: edit"); }

}  // namespace talmek::scrivel
