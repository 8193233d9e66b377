// Runs one command line through /bin/sh in a child process and captures its output (no Python.h).
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace talmek::steerix {

struct ShellRun {
  enum class Status { exited, timed_out, interrupted };
  Status status = Status::exited;
  // As subprocess reports it: the exit status, or minus the signal number that ended the shell.
  int exit_code = 0;
  std::string out;  // raw bytes of standard output
  std::string err;  // raw bytes of standard error
};

// Runs `/bin/sh -c command` and waits for it, reading standard output and standard error until
// both reach their end and the shell has exited. `command` and `cwd` are OS bytes (fsencoded);
// with no `cwd` the child keeps this process's working directory. Standard input is inherited.
//
// The child leads a process group of its own. When `timeout` (counted from the start) runs out,
// or `should_stop` returns true after a signal interrupted the wait, the whole group is killed
// with SIGKILL and the shell reaped; whatever had been read is dropped. Background children
// that keep the pipes open therefore cannot hold the caller past the timeout.
//
// Throws talmek::OpError, worded as CPython's subprocess words it, when the shell cannot be
// started (a working directory that does not exist, for one). Does not touch Python: the caller
// may release the GIL around it; `should_stop` is called without it.
ShellRun run_shell(const std::string& command, const std::optional<std::string>& cwd,
                   std::chrono::milliseconds timeout, const std::function<bool()>& should_stop);

}  // namespace talmek::steerix
