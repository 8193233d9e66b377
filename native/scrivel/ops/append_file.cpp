// Placeholder: answers as an unknown action until the operation is built.
#include "scrivel/ops/ops.h"

namespace talmek::scrivel {

Value append_file(std::string_view, std::string_view) { return fail_record("Unknown action: append"); }

}  // namespace talmek::scrivel
