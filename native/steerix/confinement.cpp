// The agent's allowed roots (see confinement.h).
#include "steerix/confinement.h"

#include <atomic>

namespace talmek::steerix {

namespace {

// The system directories a shell and the usual commands read and run programs from.
constexpr const char* kSystemDirs[] = {"/usr",   "/bin",   "/sbin",   "/lib",
                                       "/lib32", "/lib64", "/libx32", "/etc"};

std::atomic<bool> g_notice_given{false};

}  // namespace

std::shared_ptr<const Confinement> Confinement::open(const std::vector<std::string>& roots,
                                                     std::string& error, int& error_code) {
  auto c = std::make_shared<Confinement>();
  std::string failed;
  if (const os::Error e = os::Roots::open(roots, false, c->m_roots, failed)) {
    error = os::Failure(e, failed).message();
    error_code = e.code;
    return nullptr;
  }
  std::vector<os::SandboxRule> rules;
  for (const char* dir : kSystemDirs) rules.push_back({dir, os::SandboxRule::Use::ReadExecute});
  rules.push_back({"/dev/null", os::SandboxRule::Use::ReadWrite});
  for (std::size_t i = 0; i < c->m_roots.size(); ++i)
    rules.push_back({c->m_roots.path(i), os::SandboxRule::Use::ReadWriteExecute});
  std::string why;
  // Network and signals stay open: a command may fetch, talk to the desktop (X11 listens on an
  // abstract socket) or stop a process it started.
  c->m_shell = os::Sandbox::build(rules, false, false, why);
  if (c->m_shell.abi() == 0 && !g_notice_given.exchange(true))
    os::write_stderr("talmek agent: " + why +
                     "; shell commands run without confinement to the roots\n");
  return c;
}

std::vector<std::string> Confinement::paths() const {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < m_roots.size(); ++i) out.push_back(m_roots.path(i));
  return out;
}

std::optional<std::string> Confinement::refuse(std::string_view path_text,
                                               std::string_view path) const {
  if (m_roots.holding(os::resolve(path)) != os::Roots::npos) return std::nullopt;
  return std::string(kOutsideRoots) + std::string(path_text);
}

}  // namespace talmek::steerix
