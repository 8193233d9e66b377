// Placeholder: answers as an unknown action until the operation is built.
#include "scrivel/ops/ops.h"

namespace talmek::scrivel {

Value grep_files(std::string_view, std::string_view, std::string_view, std::int64_t, std::int64_t) { return fail_record("Unknown action: grep"); }

}  // namespace talmek::scrivel
