// Placeholder: answers as an unknown action until the operation is built.
#include "scrivel/ops/ops.h"

namespace talmek::scrivel {

Value list_dir(std::string_view, bool, std::optional<std::string_view>) { return fail_record("Unknown action: list"); }

}  // namespace talmek::scrivel
