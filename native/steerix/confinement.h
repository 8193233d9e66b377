// The agent's allowed roots (no Python.h): the editor tool's path rules, the same as the worker's,
// and the Landlock domain the shell tool's commands run in.
//
// The editor tool refuses a path whose resolved form lies outside every root, and makes its file
// calls beneath the roots (os::ScopedRoots for the call), so a link swapped in mid-call cannot
// lead it out. The shell tool cannot check paths inside a command line: its commands run under a
// Landlock domain instead that allows writes only inside the roots and reads of the roots and of
// the system directories a shell needs (/usr, /bin, /lib*, /etc; also /dev/null, which every
// shell script writes to). A command that writes elsewhere gets the system's refusal (EACCES) in
// its output. Where the kernel has no Landlock the shell runs unconfined, and the agent says so
// once on standard error.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os.h"

namespace talmek::steerix {

class Confinement {
 public:
  // Opens the roots and builds the shell's ruleset. nullptr with `error` (naming the root) and
  // `error_code` (its error number) when a root cannot be opened as a directory.
  static std::shared_ptr<const Confinement> open(const std::vector<std::string>& roots,
                                                 std::string& error, int& error_code);

  const os::Roots& roots() const noexcept { return m_roots; }
  // The resolved roots, in the order given.
  std::vector<std::string> paths() const;

  // The editor tool's refusal of `path` (after "~" expansion; relative to the working
  // directory) as the message of an error outcome naming `path_text`, or nullopt. Throws what
  // resolve() throws.
  std::optional<std::string> refuse(std::string_view path_text, std::string_view path) const;

  // The shell's Landlock ruleset (abi() 0 where there is none: the notice has then been given).
  const os::Sandbox& shell_sandbox() const noexcept { return m_shell; }

 private:
  os::Roots m_roots;
  os::Sandbox m_shell;
};

// The message of the refusal, as the worker words it.
inline constexpr std::string_view kOutsideRoots = "Path outside the allowed directories: ";

}  // namespace talmek::steerix
