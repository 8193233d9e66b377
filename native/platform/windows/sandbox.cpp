// Landlock is a Linux facility: on Windows a Sandbox is always empty.
#include "platform/os.h"

namespace talmek::os {

int landlock_abi(std::string& why) noexcept {
  why = "Landlock is a Linux facility";
  return 0;
}

Sandbox::~Sandbox() = default;

Sandbox& Sandbox::operator=(Sandbox&& o) noexcept {
  m_fd = o.m_fd;
  m_abi = o.m_abi;
  o.m_fd = -1;
  return *this;
}

Sandbox Sandbox::build(const std::vector<SandboxRule>&, bool, bool, std::string& why) {
  landlock_abi(why);
  return Sandbox();
}

int Sandbox::apply() const noexcept { return 38; /* ENOSYS */ }

}  // namespace talmek::os
