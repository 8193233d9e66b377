// The worker's command dispatch: from a decoded request to one operation and its result record.
//
// Wire protocol (one JSON object per line on standard input, one record per line on output):
//
//   request:  {"action": "<name>", <argument>: <value>, ...}
//   reply:    {"success": true, "result": <payload>}  or  {"success": false, "error": "<text>"}
//
// Actions and their arguments (key = parameter, default when absent):
//   read   path "", start_line null, end_line null      write  path "", content "", create_dirs
//   true append path "", content ""                          edit   path "", edits [] delete path
//   ""                                      move   src "", dst "" copy   src "", dst "" mkdir  path
//   "" list   path ".", recursive false, pattern null find   path ".", pattern "*", max_results 100
//   grep   path ".", regex "", file_pattern "*", max_results 100, context_lines 0
//   diff   file_a "", file_b ""
//   quit   -> {"success": true, "result": "goodbye"}, then the worker stops
// An unknown action answers {"success": false, "error": "Unknown action: <str(action)>"}.
// A present key always wins over the default, null included. Replies are ASCII (json.dumps with
// its defaults), in request order, without identifiers; blank lines get no reply. A request that
// breaks the contract (not an object, an argument of the wrong type) ends the worker with a
// diagnostic on standard error and no reply.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "scrivel/json/value.h"

namespace talmek::scrivel {

// The Python exception class a request that breaks the contract is raised as.
enum class PyErrorClass : std::uint8_t { TypeError, ValueError, OverflowError, RecursionError };

// The class's Python name, for the worker's diagnostic ("TypeError").
std::string_view py_error_name(PyErrorClass c) noexcept;

// A request that breaks the dispatch contract. Raised to Python as `py_class`; the main loop
// ends the worker on it.
class ContractError : public std::runtime_error {
 public:
  ContractError(PyErrorClass py_class, const std::string& message)
      : std::runtime_error(message), m_py_class(py_class) {}
  PyErrorClass py_class() const noexcept { return m_py_class; }

 private:
  PyErrorClass m_py_class;
};

// handle_command(cmd): `cmd` must be an object. Throws ContractError.
Value handle_command(const Value& cmd);

// Runs one operation as its module function does: `args` is an object holding every parameter
// by name (the bindings fill the defaults). Throws ContractError on a mistyped argument.
Value call_operation(std::string_view action, const Value& args);

// True when the request asks the worker to stop (its "action" is the text "quit").
bool is_quit_request(const Value& cmd) noexcept;

}  // namespace talmek::scrivel
