// The agent's "bash" tool: one command line in a fresh shell, its output as the tool outcome.
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "common/os_error.h"
#include "common/paths.h"
#include "common/text.h"
#include "steerix/confinement.h"
#include "steerix/outcome_limit.h"
#include "steerix/py_support.h"
#include "steerix/shell_exec.h"
#include "steerix/tools.h"

namespace talmek::steerix {

namespace {

using namespace std::string_view_literals;

constexpr std::chrono::seconds kTimeout{30};

constexpr std::string_view kNoCommand = "No command provided";
constexpr std::string_view kTimedOut = "Command timed out after 30 seconds";
constexpr std::string_view kFailed = "Command failed: ";
constexpr std::string_view kOutOfMemory = "out of memory";
// The reason given when the output passes kMaxOutcomeBytes.
constexpr std::string_view kTooMuchOutput =
    "the output passed 33554432 bytes (32 MiB), more than a request to the model can carry; "
    "the command and every process it started were killed";
static_assert(kMaxOutcomeBytes == 33554432);

// Text mode's newline translation, in place: "\r\n" and a lone "\r" become "\n".
void normalize_newlines_in_place(Bytes& b) {
  char* s = b.data();
  const std::size_t n = b.size();
  const char* first = n ? static_cast<const char*>(std::memchr(s, '\r', n)) : nullptr;
  if (!first) return;
  std::size_t w = static_cast<std::size_t>(first - s);
  for (std::size_t r = w; r < n; ++r) {
    if (s[r] == '\r') {
      s[w++] = '\n';
      if (r + 1 < n && s[r + 1] == '\n') ++r;
    } else {
      s[w++] = s[r];
    }
  }
  b.truncate(w);
}

// Where the first byte outside ASCII is (size when none), eight bytes at a time: command output
// is mostly ASCII, and the full UTF-8 check then only sees the rest.
std::size_t ascii_prefix(std::string_view s) {
  std::size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, s.data() + i, 8);
    if (word & 0x8080808080808080ull) break;
  }
  while (i < s.size() && static_cast<unsigned char>(s[i]) < 0x80) ++i;
  return i;
}

// Decodes one captured stream as text mode does: strict UTF-8 (the platform's default encoding
// here), then newline translation. Throws OpError with the codec's message.
void decode_stream(Bytes& bytes) {
  const std::string_view all = bytes.view();
  if (!text::is_valid_utf8(all.substr(ascii_prefix(all)))) {
    std::string error;
    text::decode_utf8_strict(all, error);
    throw OpError(error);
  }
  normalize_newlines_in_place(bytes);
}

// The outcome text of a shell that ended in time; built in the standard output's buffer.
Bytes assemble(ShellRun& run) {
  decode_stream(run.out);
  decode_stream(run.err);
  Bytes text = std::move(run.out);
  if (!run.err.empty()) {
    text.append("\nSTDERR:\n"sv);
    text.append(run.err.view());
  }
  if (run.exit_code != 0) {
    text.append("\n(exit code: "sv);
    text.append(std::to_string(run.exit_code));
    text.append(")"sv);
  }
  if (text.empty()) text.append("(no output)"sv);
  return text;
}

// The OS bytes of a text, as subprocess's os.fsencode makes them. Throws OpError.
std::string os_bytes(std::string_view text) {
  std::string out, error;
  if (!text::fsencode(text, out, error)) throw OpError(error);
  if (out.find('\0') != std::string::npos) throw OpError("embedded null byte");
  return out;
}

}  // namespace

namespace {

nb::object run(nb::handle tool_input, const Confinement* confinement) {
  nb::object command = get(tool_input, nb::str("command"), g_names.empty);
  if (!truthy(command)) return error_outcome(kNoCommand);
  if (!nb::isinstance<nb::str>(command))
    return error_outcome(kFailed, std::string("command must be str, not ") + tp_name(command));
  Text command_text;
  command_text.assign(command);

  ShellRun run;
  try {
    const std::string cmd = os_bytes(command_text.view());
    // A command that starts by changing directory means one relative to where the agent runs;
    // everything else starts from the user's home directory.
    std::optional<std::string> cwd;
    if (!command_text.view().starts_with("cd ")) cwd = os_bytes(paths::expanduser("~"));

    // The child may run for up to the timeout: other Python threads go on meanwhile. A signal
    // that interrupts the wait runs the Python handlers; if one raises, the child is killed.
    auto should_stop = [] {
      nb::gil_scoped_acquire held;
      return !signal_handlers_ran_clean();
    };
    {
      nb::gil_scoped_release released;
      run = run_shell(cmd, cwd, kTimeout, kMaxOutcomeBytes, should_stop,
                      confinement && confinement->shell_sandbox().abi() > 0
                          ? &confinement->shell_sandbox()
                          : nullptr);
    }

    switch (run.status) {
      case ShellRun::Status::interrupted:
        throw nb::python_error();  // the exception a signal handler raised
      case ShellRun::Status::timed_out:
        return error_outcome(kTimedOut);
      case ShellRun::Status::output_limit:
        return error_outcome(kFailed, kTooMuchOutput);
      case ShellRun::Status::exited:
        break;
    }
    return text_outcome(assemble(run).view());
  } catch (nb::python_error&) {
    throw;
  } catch (const OpError& e) {
    return error_outcome(kFailed, e.what());
  } catch (const std::bad_alloc&) {
    return error_outcome(kFailed, kOutOfMemory);
  } catch (const std::exception& e) {
    return error_outcome(kFailed, e.what());
  }
}

}  // namespace

nb::object run_bash_tool(nb::handle tool_input, const Confinement* confinement) {
  // Whatever goes wrong in here is the command's failure, never the task's: only interruptions
  // (KeyboardInterrupt and other exceptions that are not an Exception) pass through.
  try {
    return run(tool_input, confinement);
  } catch (const std::bad_alloc&) {
    return error_outcome(kFailed, kOutOfMemory);
  } catch (nb::python_error& e) {
    return error_outcome_from(e, kFailed);
  }
}

}  // namespace talmek::steerix
