// Placeholder: answers as an unknown action until the operation is built.
#include "scrivel/ops/ops.h"

namespace talmek::scrivel {

Value diff_files(std::string_view, std::string_view) { return fail_record("Unknown action: diff"); }

}  // namespace talmek::scrivel
