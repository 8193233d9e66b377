// Landlock rulesets (Linux 5.13 and later): built from paths and rights, applied by system calls
// alone. The kernel's interface is spelled out here (linux/landlock.h of the oldest system we
// build on knows only ABI 1), and the rights asked for follow the ABI version the kernel reports.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/os.h"

namespace talmek::os {

namespace {

constexpr long kSysCreateRuleset = 444;
constexpr long kSysAddRule = 445;
constexpr long kSysRestrictSelf = 446;
constexpr std::uint32_t kCreateRulesetVersion = 1U << 0;
constexpr int kRulePathBeneath = 1;

struct RulesetAttr {
  std::uint64_t handled_access_fs;
  std::uint64_t handled_access_net;  // ABI 4
  std::uint64_t scoped;              // ABI 6
};

struct __attribute__((packed)) PathBeneathAttr {
  std::uint64_t allowed_access;
  std::int32_t parent_fd;
};

// File system rights, by the ABI version that brought them.
constexpr std::uint64_t kExecute = 1ULL << 0;
constexpr std::uint64_t kWriteFile = 1ULL << 1;
constexpr std::uint64_t kReadFile = 1ULL << 2;
constexpr std::uint64_t kReadDir = 1ULL << 3;
constexpr std::uint64_t kRemoveDir = 1ULL << 4;
constexpr std::uint64_t kRemoveFile = 1ULL << 5;
constexpr std::uint64_t kMakeChar = 1ULL << 6;
constexpr std::uint64_t kMakeDir = 1ULL << 7;
constexpr std::uint64_t kMakeReg = 1ULL << 8;
constexpr std::uint64_t kMakeSock = 1ULL << 9;
constexpr std::uint64_t kMakeFifo = 1ULL << 10;
constexpr std::uint64_t kMakeBlock = 1ULL << 11;
constexpr std::uint64_t kMakeSym = 1ULL << 12;
constexpr std::uint64_t kRefer = 1ULL << 13;     // ABI 2: links and renames between directories
constexpr std::uint64_t kTruncate = 1ULL << 14;  // ABI 3
constexpr std::uint64_t kIoctlDev = 1ULL << 15;  // ABI 5

constexpr std::uint64_t kNetBindTcp = 1ULL << 0;         // ABI 4
constexpr std::uint64_t kNetConnectTcp = 1ULL << 1;      // ABI 4
constexpr std::uint64_t kScopeAbstractUnix = 1ULL << 0;  // ABI 6
constexpr std::uint64_t kScopeSignal = 1ULL << 1;        // ABI 6

std::uint64_t fs_rights(int abi) noexcept {
  std::uint64_t r = kExecute | kWriteFile | kReadFile | kReadDir | kRemoveDir | kRemoveFile |
                    kMakeChar | kMakeDir | kMakeReg | kMakeSock | kMakeFifo | kMakeBlock | kMakeSym;
  if (abi >= 2) r |= kRefer;
  if (abi >= 3) r |= kTruncate;
  if (abi >= 5) r |= kIoctlDev;
  return r;
}

// The rights of a rule, within what the ruleset handles. Rights on directories only make sense
// for a directory: a file rule keeps only those that apply to files.
std::uint64_t rule_rights(SandboxRule::Use use, bool is_dir, std::uint64_t handled) noexcept {
  std::uint64_t r = kReadFile | (is_dir ? kReadDir : 0);
  if (use == SandboxRule::Use::ReadExecute || use == SandboxRule::Use::ReadWriteExecute)
    r |= kExecute;
  if (use == SandboxRule::Use::ReadWrite || use == SandboxRule::Use::ReadWriteExecute) {
    r |= kWriteFile | kTruncate;
    if (is_dir)
      r |= kRemoveDir | kRemoveFile | kMakeDir | kMakeReg | kMakeSym | kMakeFifo | kMakeSock |
           kRefer;
  }
  return r & handled;
}

int create_ruleset(const RulesetAttr* attr, std::size_t size, std::uint32_t flags) noexcept {
  return static_cast<int>(::syscall(kSysCreateRuleset, attr, size, flags));
}

}  // namespace

int landlock_abi(std::string& why) noexcept {
  const int abi = create_ruleset(nullptr, 0, kCreateRulesetVersion);
  if (abi > 0) return abi;
  switch (errno) {
    case ENOSYS:
      why = "this kernel has no Landlock (Linux 5.13 or later, CONFIG_SECURITY_LANDLOCK)";
      break;
    case EOPNOTSUPP:
      why = "Landlock is not enabled on this system (lsm= boot parameter)";
      break;
    default:
      why = std::string("Landlock refused: ") + std::strerror(errno);
  }
  return 0;
}

Sandbox::~Sandbox() {
  if (m_fd >= 0) ::close(m_fd);
}

Sandbox& Sandbox::operator=(Sandbox&& o) noexcept {
  if (this != &o) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = o.m_fd;
    m_abi = o.m_abi;
    o.m_fd = -1;
  }
  return *this;
}

Sandbox Sandbox::build(const std::vector<SandboxRule>& rules, bool deny_network, bool isolate,
                       std::string& why) {
  Sandbox out;
  const int abi = landlock_abi(why);
  if (abi <= 0) return out;
  RulesetAttr attr{fs_rights(abi), 0, 0};
  std::size_t size = sizeof(std::uint64_t);
  if (abi >= 4) {
    size += sizeof(std::uint64_t);
    if (deny_network) attr.handled_access_net = kNetBindTcp | kNetConnectTcp;
  }
  if (abi >= 6) {
    size += sizeof(std::uint64_t);
    if (isolate) attr.scoped = kScopeAbstractUnix | kScopeSignal;
  }
  const int fd = create_ruleset(&attr, size, 0);
  if (fd < 0) {
    why = std::string("Landlock ruleset refused: ") + std::strerror(errno);
    return out;
  }
  out.m_fd = fd;
  for (const SandboxRule& rule : rules) {
    OsPath p;
    std::string error;
    if (!to_os_path(rule.path, p, error)) continue;
    const int pfd = ::open(p.c_str(), O_PATH | O_CLOEXEC);
    if (pfd < 0) continue;  // a system directory this system does not have
    struct stat st;
    const bool is_dir = ::fstat(pfd, &st) == 0 && S_ISDIR(st.st_mode);
    PathBeneathAttr pb{rule_rights(rule.use, is_dir, attr.handled_access_fs), pfd};
    const long rc = ::syscall(kSysAddRule, fd, kRulePathBeneath, &pb, 0);
    const int err = errno;
    ::close(pfd);
    if (rc != 0) {
      why = "Landlock rule for " + rule.path + " refused: " + std::strerror(err);
      ::close(fd);
      out.m_fd = -1;
      return out;
    }
  }
  out.m_abi = abi;
  return out;
}

int Sandbox::apply() const noexcept {
  if (m_fd < 0) return EINVAL;
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return errno;
  if (::syscall(kSysRestrictSelf, m_fd, 0) != 0) return errno;
  return 0;
}

}  // namespace talmek::os
