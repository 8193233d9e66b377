// Steerix.run_task: the task loop, as a native async generator of ComputerUseEvents.
//
// The body is one state machine. It suspends only at its events (handed to the consumer) and
// while awaiting the tool coroutine and the asyncio.sleep pause after each tool call; the
// Messages API request and the tools themselves run synchronously. Every overridable member
// (get_tool_definitions, _build_system_prompt, _execute_tool, _serialize_block, ACTION_DELAY)
// and every field is reached through the instance, so subclasses and per-instance values are
// honoured exactly as they would be by Python code.
#include <climits>
#include <memory>

#include "steerix/agent.h"
#include "steerix/async_gen.h"
#include "steerix/py.h"

namespace talmek::steerix {

namespace {

const char* const kMissingPackage =
    "The 'anthropic' package is required for computer use. Install it with: pip install anthropic";
const char* const kBetaFlag = "computer-use-2025-01-24";

// obj.get(key) or obj.get(key, dflt) (dflt nullptr: no default), fast for exact dicts.
PyObject* dict_get(PyObject* obj, PyObject* key, PyObject* dflt) {
  if (PyDict_CheckExact(obj)) {
    PyObject* v = nullptr;
    if (PyDict_GetItemRef(obj, key, &v) < 0) return nullptr;
    return v ? v : Py_NewRef(dflt ? dflt : Py_None);
  }
  if (dflt) return PyObject_CallMethodObjArgs(obj, g_names.get, key, dflt, nullptr);
  return PyObject_CallMethodOneArg(obj, g_names.get, key);
}

PyObject* str_of(const char* s) { return PyUnicode_FromString(s); }

// The tool-result block that answers one tool call with its outcome.
PyObject* tool_result_block(PyObject* tool_id, PyObject* result) {
  Ref type = Ref::steal(dict_get(result, g_names.type, nullptr));
  if (!type) return nullptr;
  int is_image = PyObject_RichCompareBool(type.get(), g_names.s_image, Py_EQ);
  if (is_image < 0) return nullptr;
  if (is_image) {
    Ref media = Ref::steal(PyUnicode_FromString("media_type"));
    if (!media) return nullptr;
    Ref media_type = Ref::steal(PyObject_GetItem(result, media.get()));
    if (!media_type) return nullptr;
    Ref b64 = Ref::steal(PyUnicode_FromString("base64"));
    if (!b64) return nullptr;
    Ref data = Ref::steal(PyObject_GetItem(result, b64.get()));
    if (!data) return nullptr;
    return Py_BuildValue("{s:s,s:O,s:[{s:s,s:{s:s,s:O,s:O}}]}", "type", "tool_result",
                         "tool_use_id", tool_id, "content", "type", "image", "source", "type",
                         "base64", "media_type", media_type.get(), "data", data.get());
  }
  int is_error = PyObject_RichCompareBool(type.get(), g_names.s_error, Py_EQ);
  if (is_error < 0) return nullptr;
  if (is_error) {
    Ref dflt = Ref::steal(str_of("Unknown error"));
    if (!dflt) return nullptr;
    Ref error = Ref::steal(dict_get(result, g_names.s_error, dflt.get()));
    if (!error) return nullptr;
    return Py_BuildValue("{s:s,s:O,s:O,s:O}", "type", "tool_result", "tool_use_id", tool_id,
                         "content", error.get(), "is_error", Py_True);
  }
  Ref content;
  if (PyDict_CheckExact(result)) {
    PyObject* v = nullptr;
    if (PyDict_GetItemRef(result, g_names.text, &v) < 0) return nullptr;
    content = Ref::steal(v ? v : PyObject_Str(result));
  } else {
    Ref printed = Ref::steal(PyObject_Str(result));
    if (!printed) return nullptr;
    content = Ref::steal(dict_get(result, g_names.text, printed.get()));
  }
  if (!content) return nullptr;
  return Py_BuildValue("{s:s,s:O,s:O}", "type", "tool_result", "tool_use_id", tool_id, "content",
                       content.get());
}

// "prefix" + format(value).
PyObject* prefixed(const char* prefix, PyObject* value, const char* suffix = "") {
  Ref shown = Ref::steal(PyObject_Format(value, nullptr));
  if (!shown) return nullptr;
  return PyUnicode_FromFormat("%s%U%s", prefix, shown.get(), suffix);
}

PyObject* message_event(const char* type, PyObject* message) {
  if (!message) return nullptr;
  PyObject* ev = make_event_kv(type, {{"message", message}});
  Py_DECREF(message);
  return ev;
}

class RunTaskFrame final : public SlotFrame<12> {
 public:
  RunTaskFrame(PyObject* self, PyObject* user_message) {
    set(kSelf, Py_NewRef(self));
    set(kMessage, Py_NewRef(user_message));
  }

  Step resume(PyObject* value) override {
    // An exception thrown in at any suspension point (athrow, aclose, a cancelled pause) ends
    // the task there: the body has no clean-up of its own.
    if (!value) return step_error();
    for (;;) {
      switch (m_state) {
        case State::Start:
          return start();
        case State::AfterThinking: {
          Step s = prepare();
          if (s.kind != StepKind::Return) return s;  // an event or a failure
          m_state = State::IterationTop;
          continue;
        }
        case State::IterationTop:
          return iteration_top();
        case State::AfterIteration: {
          Step s = request();
          if (s.kind != StepKind::Return) return s;
          m_state = State::TextLoop;
          continue;
        }
        case State::TextLoop: {
          Step s = text_loop();
          if (s.kind != StepKind::Return) return s;
          m_state = State::ToolLoop;
          continue;
        }
        case State::ToolLoop: {
          Step s = tool_loop();
          if (s.kind != StepKind::Return) return s;
          m_state = State::IterationTop;
          continue;
        }
        case State::AfterToolCall:
          m_state = State::AfterExecute;
          return step_await(PyObject_CallMethodObjArgs(slot(kSelf), g_names.execute_tool,
                                                       slot(kToolName), slot(kToolInput), nullptr));
        case State::AfterExecute:
          set(kResult, Py_NewRef(value));
          m_state = State::AfterToolResult;
          return step_yield(make_event_kv(
              "tool_result",
              {{"id", slot(kToolId)}, {"tool", slot(kToolName)}, {"result", slot(kResult)}}));
        case State::AfterToolResult:
          return pause();
        case State::AfterPause:
          m_state = State::ToolLoop;
          continue;
        case State::Final:
          return step_return(Py_NewRef(Py_None));
      }
    }
  }

 private:
  enum Slot {
    kSelf,
    kMessage,
    kAnthropic,
    kClient,
    kTools,
    kSystem,
    kContent,
    kIter,
    kToolName,
    kToolInput,
    kToolId,
    kResult,
  };
  enum class State {
    Start,
    AfterThinking,
    IterationTop,
    AfterIteration,
    TextLoop,
    ToolLoop,
    AfterToolCall,
    AfterExecute,
    AfterToolResult,
    AfterPause,
    Final,
  };


 public:
  ~RunTaskFrame() override { Py_CLEAR(m_tool_results); }
  int traverse(visitproc visit, void* arg) override {
    Py_VISIT(m_tool_results);
    return SlotFrame::traverse(visit, arg);
  }
  void clear() override {
    Py_CLEAR(m_tool_results);
    SlotFrame::clear();
  }

 private:
  Step final_event(PyObject* ev) {
    m_state = State::Final;
    return step_yield(ev);
  }

  Step start() {
    PyObject* self = slot(kSelf);
    if (PyObject_SetAttr(self, g_names.running, Py_True) < 0) return step_error();
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero || PyObject_SetAttr(self, g_names.iteration_count, zero.get()) < 0) {
      return step_error();
    }
    m_state = State::AfterThinking;
    return step_yield(message_event("thinking", PyUnicode_FromFormat("Starting task: %U", slot(kMessage))));
  }

  // History, client package, client, tool list, system prompt and the iteration limit.
  // Returns a Return step when the iterations may start.
  Step prepare() {
    PyObject* self = slot(kSelf);
    Ref history = Ref::steal(
        Py_BuildValue("[{s:s,s:O}]", "role", "user", "content", slot(kMessage)));
    if (!history || PyObject_SetAttr(self, g_names.messages, history.get()) < 0) {
      return step_error();
    }
    PyObject* anthropic = PyImport_ImportModule("anthropic");
    if (!anthropic) {
      if (!PyErr_ExceptionMatches(PyExc_ImportError)) return step_error();
      PyErr_Clear();
      return final_event(message_event("error", str_of(kMissingPackage)));
    }
    set(kAnthropic, anthropic);
    Ref cls = Ref::steal(PyObject_GetAttr(anthropic, g_names.anthropic_cls));
    if (!cls) return step_error();
    Ref key = Ref::steal(PyObject_GetAttr(self, g_names.api_key));
    if (!key) return step_error();
    Ref kwargs = Ref::steal(Py_BuildValue("{s:O}", "api_key", key.get()));
    if (!kwargs) return step_error();
    Ref noargs = Ref::steal(PyTuple_New(0));
    if (!noargs) return step_error();
    PyObject* client = PyObject_Call(cls.get(), noargs.get(), kwargs.get());
    if (!client) return step_error();
    set(kClient, client);
    PyObject* tools = PyObject_CallMethodNoArgs(self, g_names.get_tool_definitions);
    if (!tools) return step_error();
    set(kTools, tools);
    PyObject* system = PyObject_CallMethodNoArgs(self, g_names.build_system_prompt);
    if (!system) return step_error();
    set(kSystem, system);
    // range(self._max_iterations): read once, as an index.
    Ref limit = Ref::steal(PyObject_GetAttr(self, g_names.max_iterations));
    if (!limit) return step_error();
    Ref index = Ref::steal(PyNumber_Index(limit.get()));
    if (!index) return step_error();
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (n == -1 && PyErr_Occurred()) return step_error();
    m_limit = overflow > 0 ? LLONG_MAX : overflow < 0 ? 0 : n;
    m_iteration = 0;
    return step_return(Py_NewRef(Py_None));
  }

  Step iteration_top() {
    PyObject* self = slot(kSelf);
    if (m_iteration >= m_limit) {
      Ref limit = Ref::steal(PyObject_GetAttr(self, g_names.max_iterations));
      if (!limit) return step_error();
      return final_event(message_event(
          "error", prefixed("Reached maximum iterations (", limit.get(), "). Task may be incomplete.")));
    }
    Ref running = Ref::steal(PyObject_GetAttr(self, g_names.running));
    if (!running) return step_error();
    int truth = PyObject_IsTrue(running.get());
    if (truth < 0) return step_error();
    if (!truth) return final_event(message_event("cancelled", str_of("Task cancelled by user")));
    Ref number = Ref::steal(PyLong_FromLongLong(m_iteration + 1));
    if (!number || PyObject_SetAttr(self, g_names.iteration_count, number.get()) < 0) {
      return step_error();
    }
    Ref limit = Ref::steal(PyObject_GetAttr(self, g_names.max_iterations));
    if (!limit) return step_error();
    m_state = State::AfterIteration;
    return step_yield(make_event_kv("iteration", {{"number", number.get()}, {"max", limit.get()}}));
  }

  // client.beta.messages.create(...), synchronously.
  PyObject* send_request() {
    PyObject* self = slot(kSelf);
    Ref beta = Ref::steal(PyObject_GetAttr(slot(kClient), g_names.beta));
    if (!beta) return nullptr;
    Ref messages_api = Ref::steal(PyObject_GetAttr(beta.get(), g_names.messages_attr));
    if (!messages_api) return nullptr;
    Ref create = Ref::steal(PyObject_GetAttr(messages_api.get(), g_names.create));
    if (!create) return nullptr;
    Ref model = Ref::steal(PyObject_GetAttr(self, g_names.model));
    if (!model) return nullptr;
    Ref history = Ref::steal(PyObject_GetAttr(self, g_names.messages));
    if (!history) return nullptr;
    Ref kwargs = Ref::steal(Py_BuildValue("{s:O,s:i,s:O,s:O,s:O,s:[s]}", "model", model.get(),
                                          "max_tokens", 4096, "system", slot(kSystem), "tools",
                                          slot(kTools), "messages", history.get(), "betas",
                                          kBetaFlag));
    if (!kwargs) return nullptr;
    Ref noargs = Ref::steal(PyTuple_New(0));
    if (!noargs) return nullptr;
    return PyObject_Call(create.get(), noargs.get(), kwargs.get());
  }

  // The request and its failure events; on success, the response's content and whether it
  // asks for a tool. Returns a Return step when the text events may start.
  Step request() {
    Ref response = Ref::steal(send_request());
    if (!response) {
      // `except anthropic.APIError` first (looked up only now), then `except Exception`.
      PyObject* exc = PyErr_GetRaisedException();
      PyObject* api_error = PyObject_GetAttr(slot(kAnthropic), g_names.api_error);
      if (!api_error) {
        chain_context(exc);
        return step_error();
      }
      if (!PyExceptionClass_Check(api_error) && !PyTuple_Check(api_error)) {
        Py_DECREF(api_error);
        PyErr_SetString(PyExc_TypeError,
                        "catching classes that do not inherit from BaseException is not allowed");
        chain_context(exc);
        return step_error();
      }
      int is_api = PyErr_GivenExceptionMatches(exc, api_error);
      Py_DECREF(api_error);
      const char* prefix = nullptr;
      if (is_api) {
        prefix = "API error: ";
      } else if (PyErr_GivenExceptionMatches(exc, PyExc_Exception)) {
        prefix = "Unexpected error: ";
      } else {
        PyErr_SetRaisedException(exc);
        return step_error();
      }
      PyObject* message = prefixed(prefix, exc);
      Py_DECREF(exc);
      return final_event(message_event("error", message));
    }
    PyObject* content = PyObject_GetAttr(response.get(), g_names.content);
    if (!content) return step_error();
    set(kContent, content);
    // Does any block ask for a tool? Stop at the first that does.
    m_has_tool_use = false;
    Ref it = Ref::steal(PyObject_GetIter(content));
    if (!it) return step_error();
    while (Ref block = Ref::steal(PyIter_Next(it.get()))) {
      int eq = type_is(block.get(), g_names.s_tool_use);
      if (eq < 0) return step_error();
      if (eq) {
        m_has_tool_use = true;
        break;
      }
    }
    if (PyErr_Occurred()) return step_error();
    PyObject* walk = PyObject_GetIter(content);
    if (!walk) return step_error();
    set(kIter, walk);
    return step_return(Py_NewRef(Py_None));
  }

  // One "text" event per text block; then "done" when no tool was asked for, or the assistant
  // message in the history and the start of the tool walk. Returns a Return step when the tool
  // walk may start.
  Step text_loop() {
    while (Ref block = Ref::steal(PyIter_Next(slot(kIter)))) {
      int eq = type_is(block.get(), g_names.s_text);
      if (eq < 0) return step_error();
      if (eq) {
        Ref text = Ref::steal(PyObject_GetAttr(block.get(), g_names.text));
        if (!text) return step_error();
        return step_yield(make_event_kv("text", {{"content", text.get()}}));
      }
    }
    if (PyErr_Occurred()) return step_error();
    set(kIter, nullptr);
    if (!m_has_tool_use) {
      Ref iterations = Ref::steal(PyLong_FromLongLong(m_iteration + 1));
      if (!iterations) return step_error();
      Ref message = Ref::steal(str_of("Task completed"));
      if (!message) return step_error();
      return final_event(
          make_event_kv("done", {{"iterations", iterations.get()}, {"message", message.get()}}));
    }
    PyObject* self = slot(kSelf);
    Ref history = Ref::steal(PyObject_GetAttr(self, g_names.messages));
    if (!history) return step_error();
    Ref blocks = Ref::steal(PyList_New(0));
    if (!blocks) return step_error();
    Ref it = Ref::steal(PyObject_GetIter(slot(kContent)));
    if (!it) return step_error();
    while (Ref block = Ref::steal(PyIter_Next(it.get()))) {
      Ref entry = Ref::steal(PyObject_CallMethodOneArg(self, g_names.serialize_block, block.get()));
      if (!entry || PyList_Append(blocks.get(), entry.get()) < 0) return step_error();
    }
    if (PyErr_Occurred()) return step_error();
    Ref message = Ref::steal(
        Py_BuildValue("{s:s,s:O}", "role", "assistant", "content", blocks.get()));
    if (!message || append_to(history.get(), message.get()) < 0) return step_error();
    Py_XSETREF(m_tool_results, PyList_New(0));
    if (!m_tool_results) return step_error();
    PyObject* walk = PyObject_GetIter(slot(kContent));
    if (!walk) return step_error();
    set(kIter, walk);
    return step_return(Py_NewRef(Py_None));
  }

  // The next tool call ("tool_call" event), or, at the end of the blocks, the tool results in
  // the history and a Return step for the next iteration.
  Step tool_loop() {
    while (Ref block = Ref::steal(PyIter_Next(slot(kIter)))) {
      int eq = type_is(block.get(), g_names.s_tool_use);
      if (eq < 0) return step_error();
      if (!eq) continue;
      PyObject* name = PyObject_GetAttr(block.get(), g_names.name);
      if (!name) return step_error();
      set(kToolName, name);
      PyObject* input = PyObject_GetAttr(block.get(), g_names.input);
      if (!input) return step_error();
      set(kToolInput, input);
      PyObject* id = PyObject_GetAttr(block.get(), g_names.id);
      if (!id) return step_error();
      set(kToolId, id);
      m_state = State::AfterToolCall;
      return step_yield(make_event_kv(
          "tool_call", {{"id", slot(kToolId)}, {"tool", slot(kToolName)}, {"input", slot(kToolInput)}}));
    }
    if (PyErr_Occurred()) return step_error();
    set(kIter, nullptr);
    Ref history = Ref::steal(PyObject_GetAttr(slot(kSelf), g_names.messages));
    if (!history) return step_error();
    Ref message = Ref::steal(
        Py_BuildValue("{s:s,s:O}", "role", "user", "content", m_tool_results));
    if (!message || append_to(history.get(), message.get()) < 0) return step_error();
    Py_CLEAR(m_tool_results);
    set(kContent, nullptr);
    ++m_iteration;
    return step_return(Py_NewRef(Py_None));
  }

  // The tool-result block, then the pause of ACTION_DELAY on the event loop.
  Step pause() {
    Ref block = Ref::steal(tool_result_block(slot(kToolId), slot(kResult)));
    if (!block || PyList_Append(m_tool_results, block.get()) < 0) return step_error();
    Ref delay = Ref::steal(PyObject_GetAttr(slot(kSelf), g_names.action_delay));
    if (!delay) return step_error();
    Ref sleep = Ref::steal(PyObject_GetAttr(g_module.asyncio, g_names.sleep));
    if (!sleep) return step_error();
    m_state = State::AfterPause;
    return step_await(PyObject_CallOneArg(sleep.get(), delay.get()));
  }

  static int type_is(PyObject* block, PyObject* expected) {
    Ref type = Ref::steal(PyObject_GetAttr(block, g_names.type));
    if (!type) return -1;
    return PyObject_RichCompareBool(type.get(), expected, Py_EQ);
  }

  // Makes `exc` (stolen) the context of the exception now set, as an except clause would.
  static void chain_context(PyObject* exc) {
    PyObject* now = PyErr_GetRaisedException();
    PyException_SetContext(now, exc);
    PyErr_SetRaisedException(now);
  }

  State m_state = State::Start;
  long long m_iteration = 0;
  long long m_limit = 0;
  bool m_has_tool_use = false;
  PyObject* m_tool_results = nullptr;
};

}  // namespace

PyObject* run_task(PyObject* self, PyObject* user_message) {
  return new_async_gen(std::make_unique<RunTaskFrame>(self, user_message), "Steerix.run_task");
}

}  // namespace talmek::steerix
