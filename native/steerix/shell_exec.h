// Runs one command line through /bin/sh in a child process and captures its output (no Python.h).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace talmek::os {
class Sandbox;
}

namespace talmek::steerix {

// A growable byte buffer that the pipes are read straight into, with no bounce buffer and no
// zero-filling; growth uses realloc, which can move a large block without copying it.
class Bytes {
 public:
  Bytes() = default;
  ~Bytes();
  Bytes(Bytes&& other) noexcept;
  Bytes& operator=(Bytes&& other) noexcept;
  Bytes(const Bytes&) = delete;
  Bytes& operator=(const Bytes&) = delete;

  char* data() { return m_data; }
  std::size_t size() const { return m_size; }
  bool empty() const { return m_size == 0; }
  std::string_view view() const { return {m_data, m_size}; }

  // Room for at least n more bytes at data() + size(), growing to at most `cap` bytes (or just
  // what is needed when more than that is asked for). Throws std::bad_alloc.
  char* spare(std::size_t n, std::size_t cap = SIZE_MAX);
  void commit(std::size_t n) { m_size += n; }
  void append(std::string_view s);
  void truncate(std::size_t n) { m_size = n; }

 private:
  char* m_data = nullptr;
  std::size_t m_size = 0;
  std::size_t m_capacity = 0;
};

struct ShellRun {
  // exited: the shell ended and both streams reached their end. The others stopped the command
  // early and killed everything it started: the timeout ran out, `should_stop` asked for it, or
  // the output grew past the bound.
  enum class Status { exited, timed_out, interrupted, output_limit };
  Status status = Status::exited;
  // As subprocess reports it: the exit status, or minus the signal number that ended the shell.
  int exit_code = 0;
  Bytes out;  // raw bytes of standard output
  Bytes err;  // raw bytes of standard error
};

// Runs `/bin/sh -c command` and waits for it, reading standard output and standard error until
// both reach their end and the shell has exited. `command` and `cwd` are OS bytes (fsencoded);
// with no `cwd` the child keeps this process's working directory. Standard input is inherited.
//
// The shell is started by a small supervisor process of ours, a child subreaper: whatever the
// command starts stays below it, also after its parent exits or calls setsid, so the supervisor
// can find every process the command left. The shell leads a process group of its own, as an
// interactive shell's job would.
//
// The run stops early, and the supervisor kills every process below it until none is left
// before this returns, when `timeout` (counted from the start) runs out, when `should_stop`
// returns true (it is asked when a signal interrupts the wait, and every 100 ms while output
// keeps coming), when the two streams together pass
// `output_limit` bytes, or when this process runs out of memory (std::bad_alloc, rethrown once
// all is killed). Whatever had been read is then dropped. Background children that keep the
// pipes open therefore cannot hold the caller past the timeout, and none outlives it. After an
// ordinary end, processes that were detached from both pipes (`cmd >/dev/null 2>&1 &`) are left
// running, as a shell would leave them. If this process dies, the supervisor notices and kills
// the command's processes too.
//
// Throws talmek::OpError, worded as CPython's subprocess words it, when the shell cannot be
// started (a working directory that does not exist, no process left under RLIMIT_NPROC). Does
// not touch Python: the caller may release the GIL around it; `should_stop` is called without it.
//
// With `sandbox` (borrowed, built), the shell applies it to itself just before exec, so the
// command and everything it starts run inside that Landlock domain; the supervisor stays outside
// it and can still end them. A shell that cannot apply it does not run: OpError.
ShellRun run_shell(const std::string& command, const std::optional<std::string>& cwd,
                   std::chrono::milliseconds timeout, std::size_t output_limit,
                   const std::function<bool()>& should_stop, const os::Sandbox* sandbox = nullptr);

}  // namespace talmek::steerix
