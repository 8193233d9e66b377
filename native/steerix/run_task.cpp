// Steerix.run_task: the task loop, as a native async generator of ComputerUseEvents.
//
// The body is one state machine with one function per step of the loop; each state is named
// after the step that comes next. It suspends only at its events (handed to the consumer) and
// while awaiting the tool coroutine and the asyncio.sleep pause after each tool call; the
// Messages API request and the tools themselves run synchronously. Every overridable member
// (get_tool_definitions, _build_system_prompt, _execute_tool, _serialize_block, ACTION_DELAY)
// and every field is reached through the instance, so subclasses and per-instance values are
// honoured exactly as they would be by Python code.
#include <memory>
#include <optional>

#include "steerix/agent.h"
#include "steerix/async_gen.h"
#include "steerix/event.h"
#include "steerix/tool_sets.h"

namespace talmek::steerix {

namespace {

// The call that `_execute_tool` gets for a member of the computer toolset: the single computer
// tool's form of the same call ("computer" with the member as its "action").
nb::object computer_call_input(nb::handle member, nb::handle input) {
  nb::dict call = new_dict({{g_names.action, member}});
  if (nb::isinstance<nb::dict>(input)) {
    for (auto [k, v] : nb::borrow<nb::dict>(input)) {
      nb::object key = nb::borrow(k), value = nb::borrow(v);
      // The member is the action; an "action" among its parameters would not be one.
      if (!equals(key, g_names.action)) call[key] = value;
    }
  } else {
    call.update(input);
    call[g_names.action] = member;
  }
  return call;
}

bool type_is(nb::handle block, nb::handle expected) {
  return equals(nb::getattr(block, g_names.type), expected);
}

// A fixed text of the catalogue, as the str operand of a join.
nb::str text_of(EventText text) { return nb::borrow<nb::str>(event_text(text)); }

class RunTaskFrame final : public SlotFrame<16> {
 public:
  RunTaskFrame(nb::handle self, nb::handle user_message) {
    set(kSelf, nb::borrow(self));
    set(kMessage, nb::borrow(user_message));
  }

  Step resume(nb::handle value) override {
    for (;;) {
      std::optional<Step> s;
      switch (m_state) {
        case State::Start:
          s = start();
          break;
        case State::Prepare:
          s = prepare();
          break;
        case State::Iteration:
          s = iteration();
          break;
        case State::Request:
          s = request();
          break;
        case State::Texts:
          s = texts();
          break;
        case State::ToolCalls:
          s = tool_calls();
          break;
        case State::Execute:
          s = execute();
          break;
        case State::Report:
          s = report(value);
          break;
        case State::Pause:
          s = pause();
          break;
        case State::Finish:
          s = step_return();
          break;
      }
      if (s) return std::move(*s);
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
    kBeta,  // the beta flag of the task's tool set, or empty for none
    kContent,
    kIter,
    kToolResults,  // the tool-result blocks of the current response
    kToolName,
    kToolInput,
    kToolId,
    kToolset,    // the toolset of the current call ("computer"), or empty
    kCallInput,  // what _execute_tool gets as the input of a toolset member's call
    kResult,
  };
  enum class State {
    Start,      // the "Starting task" event
    Prepare,    // history, client, tools, prompt, limit
    Iteration,  // the limit and cancellation checks, the "iteration" event
    Request,    // the Messages API request
    Texts,      // one "text" event per text (and shown thinking) block
    ToolCalls,  // the next "tool_call" event, or the tool results into the history
    Execute,    // await _execute_tool
    Report,     // the "tool_result" event
    Pause,      // the tool-result block and the ACTION_DELAY pause
    Finish,     // the body returns
  };
  using Next = std::optional<Step>;  // a suspension, or nothing to go on with the next state

  Step final_event(nb::object ev) {
    m_state = State::Finish;
    return step_yield(std::move(ev));
  }

  Next start() {
    nb::handle self = slot(kSelf);
    nb::setattr(self, g_names.running, nb::bool_(true));
    nb::setattr(self, g_names.iteration_count, nb::int_(0));
    m_state = State::Prepare;
    return step_yield(
        make_event(EventKind::Starting, {text_of(EventText::StartingPrefix) + slot(kMessage)}));
  }

  Next prepare() {
    nb::handle self = slot(kSelf);
    nb::list history;
    history.append(new_dict({{g_names.role, g_names.user}, {g_names.content, slot(kMessage)}}));
    nb::setattr(self, g_names.messages, history);
    try {
      set(kAnthropic, import_module(g_names.anthropic));
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_ImportError)) throw;
      return final_event(make_event(EventKind::Error, {event_text(EventText::MissingPackage)}));
    }
    nb::object cls = nb::getattr(slot(kAnthropic), g_names.anthropic_cls);
    nb::object key = nb::getattr(self, g_names.api_key);
    set(kClient, call_kw(cls, {{nb::str("api_key"), key}}));
    set(kTools, self.attr(g_names.get_tool_definitions)());
    set(kSystem, self.attr(g_names.build_system_prompt)());
    // The beta flag and the thinking settings follow the same table as the tools.
    const ModelTraits traits = agent_traits(self);
    const std::string_view beta = traits.tools->beta;
    if (!beta.empty()) set(kBeta, nb::str(beta.data(), beta.size()));
    m_summarised_thinking = traits.summarised_thinking;
    // range(self._max_iterations): read once, as an index.
    m_limit = index_clamped(nb::getattr(self, g_names.max_iterations));
    m_iteration = 0;
    m_state = State::Iteration;
    return std::nullopt;
  }

  Next iteration() {
    nb::handle self = slot(kSelf);
    if (m_iteration >= m_limit) {
      nb::object limit = nb::getattr(self, g_names.max_iterations);
      return final_event(make_event(
          EventKind::Error,
          {text_of(EventText::LimitHead) + format(limit) + text_of(EventText::LimitTail)}));
    }
    if (!truthy(nb::getattr(self, g_names.running))) {
      return final_event(make_event(EventKind::Cancelled, {event_text(EventText::TaskCancelled)}));
    }
    nb::int_ number(m_iteration + 1);
    nb::setattr(self, g_names.iteration_count, number);
    nb::object limit = nb::getattr(self, g_names.max_iterations);
    m_state = State::Request;
    return step_yield(make_event(EventKind::Iteration, {number, limit}));
  }

  // client.beta.messages.create(...), synchronously. Keyword arguments in their documented
  // order: "betas" (a new list for every request) only when the tool set needs a beta flag,
  // then "thinking" when the model is asked for its summarised thinking.
  nb::object send_request() {
    nb::handle self = slot(kSelf);
    nb::object create = nb::getattr(
        nb::getattr(nb::getattr(slot(kClient), g_names.beta), g_names.messages_kw), g_names.create);
    nb::object model = nb::getattr(self, g_names.model);
    nb::object history = nb::getattr(self, g_names.messages);
    static const nb::handle max_tokens = nb::int_(4096).release();
    nb::list betas;
    if (slot(kBeta)) betas.append(slot(kBeta));
    nb::dict thinking;
    if (m_summarised_thinking) {
      thinking =
          new_dict({{g_names.type, g_names.adaptive}, {g_names.display, g_names.summarized}});
    }
    std::pair<nb::handle, nb::handle> base[] = {{g_names.model_kw, model},
                                                {g_names.max_tokens, max_tokens},
                                                {g_names.system, slot(kSystem)},
                                                {g_names.tools, slot(kTools)},
                                                {g_names.messages_kw, history}};
    const std::pair<nb::handle, nb::handle> b{g_names.betas, betas};
    const std::pair<nb::handle, nb::handle> t{g_names.thinking, thinking};
    if (slot(kBeta) && m_summarised_thinking) {
      return call_kw(create, {base[0], base[1], base[2], base[3], base[4], b, t});
    }
    if (slot(kBeta)) return call_kw(create, {base[0], base[1], base[2], base[3], base[4], b});
    if (m_summarised_thinking) {
      return call_kw(create, {base[0], base[1], base[2], base[3], base[4], t});
    }
    return call_kw(create, {base[0], base[1], base[2], base[3], base[4]});
  }

  // The request and its failure events; on success, the response's content and whether it
  // asks for a tool.
  Next request() {
    nb::object response;
    try {
      response = send_request();
    } catch (nb::python_error& e) {
      // `except anthropic.APIError` first (looked up only now), then `except Exception`.
      nb::object api_error;
      try {
        api_error = nb::getattr(slot(kAnthropic), g_names.api_error);
        if (!is_exception_class(api_error) && !nb::isinstance<nb::tuple>(api_error)) {
          raise(PyExc_TypeError,
                "catching classes that do not inherit from BaseException is not allowed");
        }
      } catch (nb::python_error& later) {
        set_context(later, e);
        throw;
      }
      EventText prefix = EventText::ApiErrorPrefix;
      if (!e.matches(api_error)) {
        if (!e.matches(PyExc_Exception)) throw;
        prefix = EventText::OtherErrorPrefix;
      }
      return final_event(make_event(EventKind::Error, {text_of(prefix) + format(e.value())}));
    }
    set(kContent, nb::getattr(response, g_names.content));
    // Does any block ask for a tool? Stop at the first that does.
    m_has_tool_use = false;
    nb::object it = nb::iter(slot(kContent));
    while (nb::object block = next(it)) {
      if (type_is(block, g_names.tool_use)) {
        m_has_tool_use = true;
        break;
      }
    }
    set(kIter, nb::iter(slot(kContent)));
    m_state = State::Texts;
    return std::nullopt;
  }

  // One "text" event per text block, and per thinking block that carries text (the notes a
  // thinking model writes between tool calls come back there: the event is marked
  // "source": "thinking"); then "done" when no tool was asked for, or the assistant message in
  // the history and the start of the tool walk.
  Next texts() {
    while (nb::object block = next(slot(kIter))) {
      if (type_is(block, g_names.text)) {
        nb::object text = nb::getattr(block, g_names.text);
        return step_yield(make_event(EventKind::Text, {text}));
      }
      if (type_is(block, g_names.thinking)) {
        nb::object text = nb::getattr(block, g_names.thinking);
        if (truthy(text)) {
          return step_yield(
              make_event(EventKind::Text, {text, event_text(EventText::ThinkingSource)}));
        }
      }
    }
    set(kIter, nb::object());
    if (!m_has_tool_use) {
      nb::int_ iterations(m_iteration + 1);
      return final_event(
          make_event(EventKind::Done, {iterations, event_text(EventText::TaskCompleted)}));
    }
    nb::handle self = slot(kSelf);
    nb::object history = nb::getattr(self, g_names.messages);
    nb::list blocks;
    for (nb::handle block : slot(kContent))
      blocks.append(self.attr(g_names.serialize_block)(block));
    append(history, new_dict({{g_names.role, g_names.assistant}, {g_names.content, blocks}}));
    set(kToolResults, nb::list());
    set(kIter, nb::iter(slot(kContent)));
    m_state = State::ToolCalls;
    return std::nullopt;
  }

  // The next tool call ("tool_call" event), or, at the end of the blocks, the tool results in
  // the history and the next iteration.
  Next tool_calls() {
    while (nb::object block = next(slot(kIter))) {
      if (!type_is(block, g_names.tool_use)) continue;
      set(kToolName, nb::getattr(block, g_names.name));
      set(kToolInput, nb::getattr(block, g_names.input));
      set(kToolId, nb::getattr(block, g_names.id));
      // A member of the computer toolset ("left_click" with toolset_name "computer") goes to
      // the executor; a member of a toolset the agent does not offer stays unknown.
      set(kToolset, nb::object());
      set(kCallInput, nb::object());
      nb::object toolset = optional_attr(block, g_names.toolset_name);
      if (toolset && equals(toolset, g_names.computer)) {
        set(kToolset, toolset);
        set(kCallInput, computer_call_input(slot(kToolName), slot(kToolInput)));
      }
      m_state = State::Execute;
      return step_yield(tool_event(EventKind::ToolCall, slot(kToolInput)));
    }
    set(kIter, nb::object());
    nb::object history = nb::getattr(slot(kSelf), g_names.messages);
    append(history,
           new_dict({{g_names.role, g_names.user}, {g_names.content, slot(kToolResults)}}));
    set(kToolResults, nb::object());
    set(kContent, nb::object());
    ++m_iteration;
    m_state = State::Iteration;
    return std::nullopt;
  }

  Next execute() {
    m_state = State::Report;
    if (slot(kToolset)) {
      return step_await(slot(kSelf).attr(g_names.execute_tool)(g_names.computer, slot(kCallInput)));
    }
    return step_await(slot(kSelf).attr(g_names.execute_tool)(slot(kToolName), slot(kToolInput)));
  }

  Next report(nb::handle result) {
    set(kResult, nb::borrow(result));
    m_state = State::Pause;
    return step_yield(tool_event(EventKind::ToolResult, slot(kResult)));
  }

  // The tool-result block, then the pause of ACTION_DELAY on the event loop.
  Next pause() {
    nb::borrow<nb::list>(slot(kToolResults))
        .append(tool_result_block(slot(kToolId), slot(kResult)));
    nb::object delay = nb::getattr(slot(kSelf), g_names.action_delay);
    nb::object sleep = nb::getattr(g_module.asyncio, g_names.sleep);
    m_state = State::ToolCalls;
    return step_await(sleep(delay));
  }

  // The "tool_call" or "tool_result" event of the current call: "id", "tool" (the block's own
  // name, a toolset member's included), the input or result, then "toolset" for a member call.
  nb::object tool_event(EventKind kind, nb::handle value) {
    return make_event(kind, {slot(kToolId), slot(kToolName), value, slot(kToolset)});
  }

  State m_state = State::Start;
  long long m_iteration = 0;
  long long m_limit = 0;
  bool m_has_tool_use = false;
  bool m_summarised_thinking = false;
};

}  // namespace

nb::object run_task(nb::handle self, nb::handle user_message) {
  return new_async_gen(std::make_unique<RunTaskFrame>(self, user_message), g_names.q_run_task);
}

}  // namespace talmek::steerix
