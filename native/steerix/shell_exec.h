// Runs one command line through /bin/sh in a child process and captures its output (no Python.h).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

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

  // Room for at least n more bytes at data() + size(). Throws std::bad_alloc.
  char* spare(std::size_t n);
  void commit(std::size_t n) { m_size += n; }
  void append(std::string_view s);
  void truncate(std::size_t n) { m_size = n; }

 private:
  char* m_data = nullptr;
  std::size_t m_size = 0;
  std::size_t m_capacity = 0;
};

struct ShellRun {
  enum class Status { exited, timed_out, interrupted };
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
