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
#include "steerix/tool_sets.h"

namespace talmek::steerix {

namespace {

const char* const kMissingPackage =
    "The 'anthropic' package is required for computer use. Install it with: pip install anthropic";

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

// `import anthropic`, as the import statement does it: straight through the import system while
// builtins.__import__ is the original, through the replacement when a host has installed one.
PyObject* import_anthropic() {
  PyObject* name = TALMEK_STR("anthropic");
  if (!name) return nullptr;
  PyObject* current = PyDict_GetItemWithError(PyEval_GetBuiltins(), TALMEK_STR("__import__"));
  if (!current && PyErr_Occurred()) return nullptr;
  if (current == g_module.builtin_import) {
    return PyImport_ImportModuleLevelObject(name, nullptr, nullptr, nullptr, 0);
  }
  return PyImport_Import(name);
}

// The tool-result block that answers one tool call with its outcome.
PyObject* tool_result_block(PyObject* tool_id, PyObject* result) {
  Ref type = Ref::steal(dict_get(result, g_names.type, nullptr));
  if (!type) return nullptr;
  int is_image = PyObject_RichCompareBool(type.get(), g_names.s_image, Py_EQ);
  if (is_image < 0) return nullptr;
  if (is_image) {
    PyObject* media_key = TALMEK_STR("media_type");
    PyObject* base64 = TALMEK_STR("base64");
    if (!media_key || !base64) return nullptr;
    Ref media_type = Ref::steal(PyObject_GetItem(result, media_key));
    if (!media_type) return nullptr;
    Ref data = Ref::steal(PyObject_GetItem(result, base64));
    if (!data) return nullptr;
    Ref source = Ref::steal(new_dict(
        {{g_names.type, base64}, {media_key, media_type.get()}, {TALMEK_STR("data"), data.get()}}));
    Ref image = Ref::steal(
        new_dict({{g_names.type, g_names.s_image}, {TALMEK_STR("source"), source.get()}}));
    Ref content = Ref::steal(new_list({image.get()}));
    return new_dict({{g_names.type, TALMEK_STR("tool_result")},
                     {TALMEK_STR("tool_use_id"), tool_id},
                     {g_names.content, content.get()}});
  }
  int is_error = PyObject_RichCompareBool(type.get(), g_names.s_error, Py_EQ);
  if (is_error < 0) return nullptr;
  if (is_error) {
    PyObject* dflt = TALMEK_STR("Unknown error");
    if (!dflt) return nullptr;
    Ref error = Ref::steal(dict_get(result, g_names.s_error, dflt));
    return new_dict({{g_names.type, TALMEK_STR("tool_result")},
                     {TALMEK_STR("tool_use_id"), tool_id},
                     {g_names.content, error.get()},
                     {TALMEK_STR("is_error"), Py_True}});
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
  return new_dict({{g_names.type, TALMEK_STR("tool_result")},
                   {TALMEK_STR("tool_use_id"), tool_id},
                   {g_names.content, content.get()}});
}

// "prefix" + format(value).
PyObject* prefixed(const char* prefix, PyObject* value, const char* suffix = "") {
  Ref shown = Ref::steal(PyObject_Format(value, nullptr));
  if (!shown) return nullptr;
  return PyUnicode_FromFormat("%s%U%s", prefix, shown.get(), suffix);
}

// An event whose payload is {"message": message} (message stolen).
PyObject* message_event(PyObject* type, PyObject* message) {
  if (!message) return nullptr;
  PyObject* ev = make_event_kv(type, {{TALMEK_STR("message"), message}});
  Py_DECREF(message);
  return ev;
}

// The same with a borrowed, fixed message.
PyObject* fixed_message_event(PyObject* type, PyObject* message) {
  return message ? message_event(type, Py_NewRef(message)) : nullptr;
}

// The call that `_execute_tool` gets for a tool-use block: the block's own name and input, or,
// for a member of the computer toolset, the single computer tool's form of the same call
// ("computer" with the member as its "action"), which routes it to the executor.
PyObject* computer_call_input(PyObject* member, PyObject* input) {
  Ref call = Ref::steal(new_dict({{g_names.s_action, member}}));
  if (!call) return nullptr;
  if (PyDict_Check(input)) {
    Py_ssize_t pos = 0;
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    while (PyDict_Next(input, &pos, &k, &v)) {
      Ref key = Ref::borrow(k);
      Ref value = Ref::borrow(v);
      const int is_action = PyObject_RichCompareBool(key.get(), g_names.s_action, Py_EQ);
      if (is_action < 0) return nullptr;
      // The member is the action; an "action" among its parameters would not be one.
      if (!is_action && PyDict_SetItem(call.get(), key.get(), value.get()) < 0) return nullptr;
    }
  } else if (PyDict_Merge(call.get(), input, 1) < 0 ||
             PyDict_SetItem(call.get(), g_names.s_action, member) < 0) {
    return nullptr;
  }
  return call.release();
}

class RunTaskFrame final : public SlotFrame<15> {
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
          Py_DECREF(s.obj);
          m_state = State::IterationTop;
          continue;
        }
        case State::IterationTop:
          return iteration_top();
        case State::AfterIteration: {
          Step s = request();
          if (s.kind != StepKind::Return) return s;
          Py_DECREF(s.obj);
          m_state = State::TextLoop;
          continue;
        }
        case State::TextLoop: {
          Step s = text_loop();
          if (s.kind != StepKind::Return) return s;
          Py_DECREF(s.obj);
          m_state = State::ToolLoop;
          continue;
        }
        case State::ToolLoop: {
          Step s = tool_loop();
          if (s.kind != StepKind::Return) return s;
          Py_DECREF(s.obj);
          m_state = State::IterationTop;
          continue;
        }
        case State::AfterToolCall:
          m_state = State::AfterExecute;
          if (slot(kToolset)) {
            return step_await(PyObject_CallMethodObjArgs(
                slot(kSelf), g_names.execute_tool, g_names.s_computer, slot(kCallInput), nullptr));
          }
          return step_await(PyObject_CallMethodObjArgs(slot(kSelf), g_names.execute_tool,
                                                       slot(kToolName), slot(kToolInput), nullptr));
        case State::AfterExecute:
          set(kResult, Py_NewRef(value));
          m_state = State::AfterToolResult;
          return step_yield(
              tool_event(TALMEK_STR("tool_result"), TALMEK_STR("result"), slot(kResult)));
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
    kToolset,    // the toolset of the current call ("computer"), or nullptr
    kCallInput,  // what _execute_tool gets as the input of a toolset member's call
    kBeta,       // the beta flag of the task's tool set, or nullptr for none
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
    return step_yield(message_event(TALMEK_STR("thinking"),
                                    PyUnicode_FromFormat("Starting task: %U", slot(kMessage))));
  }

  // History, client package, client, tool list, system prompt and the iteration limit.
  // Returns a Return step when the iterations may start.
  Step prepare() {
    PyObject* self = slot(kSelf);
    Ref first =
        Ref::steal(new_dict({{g_names.role, g_names.s_user}, {g_names.content, slot(kMessage)}}));
    Ref history = Ref::steal(first ? new_list({first.get()}) : nullptr);
    if (!history || PyObject_SetAttr(self, g_names.messages, history.get()) < 0) {
      return step_error();
    }
    PyObject* anthropic = import_anthropic();
    if (!anthropic) {
      if (!PyErr_ExceptionMatches(PyExc_ImportError)) return step_error();
      PyErr_Clear();
      return final_event(fixed_message_event(g_names.s_error, TALMEK_STR(kMissingPackage)));
    }
    set(kAnthropic, anthropic);
    Ref cls = Ref::steal(PyObject_GetAttr(anthropic, g_names.anthropic_cls));
    if (!cls) return step_error();
    Ref key = Ref::steal(PyObject_GetAttr(self, g_names.api_key));
    if (!key) return step_error();
    static PyObject* const kw = PyTuple_Pack(1, TALMEK_STR("api_key"));
    if (!kw) return step_error();
    PyObject* args[] = {nullptr, key.get()};
    PyObject* client = PyObject_Vectorcall(cls.get(), args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, kw);
    if (!client) return step_error();
    set(kClient, client);
    PyObject* tools = PyObject_CallMethodNoArgs(self, g_names.get_tool_definitions);
    if (!tools) return step_error();
    set(kTools, tools);
    PyObject* system = PyObject_CallMethodNoArgs(self, g_names.build_system_prompt);
    if (!system) return step_error();
    set(kSystem, system);
    // The beta flag and the thinking settings follow the same table as the tools.
    ModelTraits traits{};
    if (!agent_traits(self, traits)) return step_error();
    const std::string_view beta = traits.tools->beta;
    if (!beta.empty()) {
      PyObject* flag =
          PyUnicode_FromStringAndSize(beta.data(), static_cast<Py_ssize_t>(beta.size()));
      if (!flag) return step_error();
      set(kBeta, flag);
    }
    m_summarised_thinking = traits.summarised_thinking;
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
          g_names.s_error,
          prefixed("Reached maximum iterations (", limit.get(), "). Task may be incomplete.")));
    }
    Ref running = Ref::steal(PyObject_GetAttr(self, g_names.running));
    if (!running) return step_error();
    int truth = PyObject_IsTrue(running.get());
    if (truth < 0) return step_error();
    if (!truth) {
      return final_event(
          fixed_message_event(TALMEK_STR("cancelled"), TALMEK_STR("Task cancelled by user")));
    }
    Ref number = Ref::steal(PyLong_FromLongLong(m_iteration + 1));
    if (!number || PyObject_SetAttr(self, g_names.iteration_count, number.get()) < 0) {
      return step_error();
    }
    Ref limit = Ref::steal(PyObject_GetAttr(self, g_names.max_iterations));
    if (!limit) return step_error();
    m_state = State::AfterIteration;
    return step_yield(make_event_kv(TALMEK_STR("iteration"), {{TALMEK_STR("number"), number.get()},
                                                              {TALMEK_STR("max"), limit.get()}}));
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
    // Keyword arguments in their documented order: "betas" (a new list for every request)
    // only when the tool set needs a beta flag, then "thinking" when the model is asked for
    // its summarised thinking.
    static PyObject* const max_tokens = PyLong_FromLong(4096);
    if (!max_tokens) return nullptr;
    PyObject* names[7] = {TALMEK_STR("model"), TALMEK_STR("max_tokens"), TALMEK_STR("system"),
                          TALMEK_STR("tools"), g_names.messages_attr};
    PyObject* args[8] = {nullptr,       model.get(),  max_tokens,
                         slot(kSystem), slot(kTools), history.get()};
    Py_ssize_t n = 5;
    Ref betas;
    if (slot(kBeta)) {
      betas = Ref::steal(new_list({slot(kBeta)}));
      if (!betas) return nullptr;
      names[n] = TALMEK_STR("betas");
      args[1 + n++] = betas.get();
    }
    Ref thinking;
    if (m_summarised_thinking) {
      thinking = Ref::steal(new_dict({{g_names.type, TALMEK_STR("adaptive")},
                                      {TALMEK_STR("display"), TALMEK_STR("summarized")}}));
      if (!thinking) return nullptr;
      names[n] = g_names.thinking;
      args[1 + n++] = thinking.get();
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!names[i]) return nullptr;
    }
    Ref kw = Ref::steal(PyTuple_New(n));
    if (!kw) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(kw.get(), i, Py_NewRef(names[i]));
    return PyObject_Vectorcall(create.get(), args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, kw.get());
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
      return final_event(message_event(g_names.s_error, message));
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

  // One "text" event per text block, and per thinking block that carries text (the notes a
  // thinking model writes between tool calls come back there: the event is marked
  // "source": "thinking"); then "done" when no tool was asked for, or the assistant message in
  // the history and the start of the tool walk. Returns a Return step when the tool walk may
  // start.
  Step text_loop() {
    while (Ref block = Ref::steal(PyIter_Next(slot(kIter)))) {
      int eq = type_is(block.get(), g_names.s_text);
      if (eq < 0) return step_error();
      if (eq) {
        Ref text = Ref::steal(PyObject_GetAttr(block.get(), g_names.text));
        if (!text) return step_error();
        return step_yield(make_event_kv(g_names.s_text, {{g_names.content, text.get()}}));
      }
      eq = type_is(block.get(), g_names.s_thinking);
      if (eq < 0) return step_error();
      if (eq) {
        Ref text = Ref::steal(PyObject_GetAttr(block.get(), g_names.thinking));
        if (!text) return step_error();
        const int shown = PyObject_IsTrue(text.get());
        if (shown < 0) return step_error();
        if (shown) {
          return step_yield(make_event_kv(
              g_names.s_text,
              {{g_names.content, text.get()}, {TALMEK_STR("source"), g_names.s_thinking}}));
        }
      }
    }
    if (PyErr_Occurred()) return step_error();
    set(kIter, nullptr);
    if (!m_has_tool_use) {
      Ref iterations = Ref::steal(PyLong_FromLongLong(m_iteration + 1));
      if (!iterations) return step_error();
      return final_event(make_event_kv(TALMEK_STR("done"),
                                       {{TALMEK_STR("iterations"), iterations.get()},
                                        {TALMEK_STR("message"), TALMEK_STR("Task completed")}}));
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
        new_dict({{g_names.role, g_names.s_assistant}, {g_names.content, blocks.get()}}));
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
      // A member of the computer toolset ("left_click" with toolset_name "computer") goes to
      // the executor; a member of a toolset the agent does not offer stays unknown.
      set(kToolset, nullptr);
      set(kCallInput, nullptr);
      PyObject* toolset = nullptr;
      if (PyObject_GetOptionalAttr(block.get(), g_names.toolset_name, &toolset) < 0) {
        return step_error();
      }
      if (toolset) {
        const int is_computer = PyObject_RichCompareBool(toolset, g_names.s_computer, Py_EQ);
        if (is_computer < 0) {
          Py_DECREF(toolset);
          return step_error();
        }
        if (is_computer) {
          set(kToolset, toolset);
          PyObject* call = computer_call_input(slot(kToolName), slot(kToolInput));
          if (!call) return step_error();
          set(kCallInput, call);
        } else {
          Py_DECREF(toolset);
        }
      }
      m_state = State::AfterToolCall;
      return step_yield(tool_event(TALMEK_STR("tool_call"), g_names.input, slot(kToolInput)));
    }
    if (PyErr_Occurred()) return step_error();
    set(kIter, nullptr);
    Ref history = Ref::steal(PyObject_GetAttr(slot(kSelf), g_names.messages));
    if (!history) return step_error();
    Ref message =
        Ref::steal(new_dict({{g_names.role, g_names.s_user}, {g_names.content, m_tool_results}}));
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

  // The "tool_call" or "tool_result" event of the current call: "id", "tool" (the block's own
  // name, a toolset member's included), then `key`: `value`, then "toolset" for a member call.
  PyObject* tool_event(PyObject* type, PyObject* key, PyObject* value) {
    if (slot(kToolset)) {
      return make_event_kv(type, {{g_names.id, slot(kToolId)},
                                  {TALMEK_STR("tool"), slot(kToolName)},
                                  {key, value},
                                  {TALMEK_STR("toolset"), slot(kToolset)}});
    }
    return make_event_kv(
        type, {{g_names.id, slot(kToolId)}, {TALMEK_STR("tool"), slot(kToolName)}, {key, value}});
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
  bool m_summarised_thinking = false;
  PyObject* m_tool_results = nullptr;
};

}  // namespace

PyObject* run_task(PyObject* self, PyObject* user_message) {
  return new_async_gen(std::make_unique<RunTaskFrame>(self, user_message),
                       TALMEK_STR("Steerix.run_task"));
}

}  // namespace talmek::steerix
