// The worker's refusals under allowed roots (see confine.h).
#include "scrivel/confine.h"

#include <string>

#include "platform/os.h"
#include "scrivel/guard.h"

namespace talmek::scrivel {

namespace {

constexpr std::string_view kOutside = "Path outside the allowed directories: ";
constexpr std::string_view kReadOnly = "Not allowed in read-only mode: ";
constexpr std::string_view kRootItself = "Refusing to delete or move an allowed directory itself: ";

// Where delete_file acts: the final component's own place (its parent resolved, the name as
// written), so that a link inside a root is removable wherever it points.
std::string removal_location(std::string_view path) {
  const std::string p = os::expand_user(path);
  const std::string_view name = os::name_of(p);
  if (os::is_root(p) || name.empty() || name == "." || name == "..") return os::resolve(p);
  return os::join(os::resolve(os::parent_of(p)), name);
}

Value fail_with(std::string_view prefix, std::string_view path) {
  return fail_record(std::string(prefix) + std::string(path));
}

}  // namespace

std::optional<Value> refuse(std::initializer_list<PathArg> paths) {
  const os::Roots* roots = os::active_roots();
  if (!roots) return std::nullopt;
  std::optional<Value> refused;
  Value failed = guarded([&]() -> Value {
    for (const PathArg& a : paths) {
      // delete_file refuses the empty path itself ("No path provided"), touching nothing.
      if (a.use == PathUse::Remove && a.path.empty()) continue;
      const std::string where =
          a.use == PathUse::Remove ? removal_location(a.path) : os::resolve(a.path);
      if (roots->holding(where) == os::Roots::npos) return fail_with(kOutside, a.path);
      if (a.use == PathUse::Read) continue;
      if (roots->read_only()) return fail_with(kReadOnly, a.path);
      if ((a.use == PathUse::Remove || a.use == PathUse::Move) && roots->is_root(where))
        return fail_with(kRootItself, a.path);
    }
    return Value();
  });
  if (failed.is_null()) return std::nullopt;
  return failed;
}

}  // namespace talmek::scrivel

#include <cstdlib>

namespace talmek::scrivel {

const char* const kWorkerUsage = "usage: talmek-scrivel [--root DIR]... [--read-only]";

bool parse_worker_args(const std::vector<std::string>& args, WorkerStart& start,
                       std::string& error) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--read-only") {
      start.read_only = true;
    } else if (a == "--root") {
      if (i + 1 == args.size()) {
        error = "--root needs a directory";
        return false;
      }
      start.roots.push_back(args[++i]);
    } else if (a.starts_with("--root=")) {
      start.roots.push_back(a.substr(7));
    } else {
      error = "unknown argument: " + a;
      return false;
    }
  }
  return true;
}

void read_worker_env(WorkerStart& start) {
  constexpr char kPathSep = os::kWindows ? ';' : ':';
  if (start.roots.empty()) {
    if (const char* env = std::getenv("TALMEK_SCRIVEL_ROOTS")) {
      // os.pathsep-separated, as PATH is; empty entries (a trailing separator) are skipped.
      const std::string text = os::to_text(env);
      std::size_t from = 0;
      while (from <= text.size()) {
        std::size_t to = text.find(kPathSep, from);
        if (to == std::string::npos) to = text.size();
        if (to > from) start.roots.push_back(text.substr(from, to - from));
        from = to + 1;
      }
    }
  }
  if (const char* ro = std::getenv("TALMEK_SCRIVEL_READ_ONLY"); ro && std::string_view(ro) == "1")
    start.read_only = true;
}

bool set_worker_roots(const std::vector<std::string>& roots, bool read_only, std::string& error,
                      int* error_code) {
  os::Roots r;
  std::string failed;
  if (roots.empty()) {
    os::set_process_roots(os::Roots());
    return true;
  }
  // Roots::open makes plain system calls: new roots are not looked up through the old ones.
  if (const os::Error e = os::Roots::open(roots, read_only, r, failed)) {
    error = os::Failure(e, failed).message();
    if (error_code) *error_code = e.code;
    return false;
  }
  os::set_process_roots(std::move(r));
  return true;
}

void restrict_worker_process(const std::vector<std::string>& also_readable) {
  const os::Roots* roots = os::active_roots();
  if (!roots) return;
  std::vector<os::SandboxRule> rules;
  const auto use =
      roots->read_only() ? os::SandboxRule::Use::Read : os::SandboxRule::Use::ReadWrite;
  for (std::size_t i = 0; i < roots->size(); ++i) rules.push_back({roots->path(i), use});
  for (const std::string& d : also_readable) rules.push_back({d, os::SandboxRule::Use::Read});
  std::string why;
  const os::Sandbox sandbox = os::Sandbox::build(rules, true, true, why);
  int err = 0;
  if (sandbox.abi() > 0 && (err = sandbox.apply()) == 0) return;
  if (err) why = "Landlock could not be applied: " + os::describe(os::Error::from_errno(err));
  os::write_stderr("talmek-scrivel: " + why +
                   "; the allowed roots are enforced by the worker's own checks alone\n");
}

}  // namespace talmek::scrivel
