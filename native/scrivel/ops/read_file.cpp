// Placeholder: answers as an unknown action until the operation is built.
#include "scrivel/ops/ops.h"

namespace talmek::scrivel {

Value read_file(std::string_view, std::optional<std::int64_t>, std::optional<std::int64_t>) { return fail_record("Unknown action: read"); }

}  // namespace talmek::scrivel
