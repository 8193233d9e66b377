"""Tool versions that follow the model: the table, the pin, the computer entry, the dispatch of
both editor names and of toolset member calls, and the history and events of thinking models."""

import asyncio

import pytest

from support.agents import FastSteerix
from support.executors import COMPUTER_TOOL, RecordingExecutor, VersionedExecutor
from support.fake_anthropic import Block, response, text, thinking, tool_use
from support.streams import collect, kinds
from talmek.core.steerix import Steerix

TOOLSET = "computer_toolset_20260801"
V2_EDITOR = {"type": "text_editor_20250728", "name": "str_replace_based_edit_tool"}
V1_EDITOR = {"type": "text_editor_20250124", "name": "str_replace_editor"}


def tools_of(model, executor=None, **kwargs):
    return Steerix(
        "k", model=model, executor=executor or VersionedExecutor(), **kwargs
    ).get_tool_definitions()


# ---------------------------------------------------------------------------------------------
# The table


@pytest.mark.parametrize(
    "model, computer, editor",
    [
        # The 5.5 models: the toolset.
        ("claude-sonnet-5-5", TOOLSET, V2_EDITOR),
        ("claude-opus-5-5", TOOLSET, V2_EDITOR),
        ("claude-haiku-5-5", TOOLSET, V2_EDITOR),
        # computer_20251124, undated aliases and the dated name.
        ("claude-sonnet-4-6", "computer_20251124", V2_EDITOR),
        ("claude-opus-4-7", "computer_20251124", V2_EDITOR),
        ("claude-opus-4-6", "computer_20251124", V2_EDITOR),
        ("claude-opus-4-5", "computer_20251124", V2_EDITOR),
        ("claude-opus-4-5-20251101", "computer_20251124", V2_EDITOR),
        # computer_20250124 with the 2025-07-28 editor.
        ("claude-sonnet-4-5-20250929", "computer_20250124", V2_EDITOR),
        ("claude-sonnet-4-5", "computer_20250124", V2_EDITOR),
        ("claude-haiku-4-5-20251001", "computer_20250124", V2_EDITOR),
        ("claude-opus-4-1-20250805", "computer_20250124", V2_EDITOR),
        ("claude-sonnet-4-20250514", "computer_20250124", V2_EDITOR),
        ("claude-sonnet-4-0", "computer_20250124", V2_EDITOR),
        ("claude-opus-4-0", "computer_20250124", V2_EDITOR),
        ("claude-opus-4-20250514", "computer_20250124", V2_EDITOR),
        # The original set: Claude Sonnet 3.7, dated and "-latest".
        ("claude-3-7-sonnet-20250219", "computer_20250124", V1_EDITOR),
        ("claude-3-7-sonnet-latest", "computer_20250124", V1_EDITOR),
        # Cloud providers' forms and letter case.
        ("us.anthropic.claude-sonnet-4-5-20250929-v1:0", "computer_20250124", V2_EDITOR),
        ("anthropic.claude-3-7-sonnet-20250219-v1:0", "computer_20250124", V1_EDITOR),
        ("claude-sonnet-4-5@20250929", "computer_20250124", V2_EDITOR),
        ("Claude-Sonnet-4-6", "computer_20251124", V2_EDITOR),
        # Unknown: the newest set, never an exception.
        ("claude-fable-9", TOOLSET, V2_EDITOR),
        ("my-proxy-alias", TOOLSET, V2_EDITOR),
        ("", TOOLSET, V2_EDITOR),
        ("claude-sonnet-4-5-2025", TOOLSET, V2_EDITOR),
        ("claude-sonnet-4-55", TOOLSET, V2_EDITOR),
        ("claude-sonnet-4-6\udc80", TOOLSET, V2_EDITOR),
    ],
)
def test_the_table(model, computer, editor):
    executor = VersionedExecutor()
    tools = tools_of(model, executor)
    assert executor.versions_told == [computer]
    assert tools[0]["type"] == computer
    assert tools[1:] == [{"type": "bash_20250124", "name": "bash"}, editor]


@pytest.mark.parametrize(
    "pin, computer, editor",
    [
        ("computer_toolset_20260801", TOOLSET, V2_EDITOR),
        ("computer_20251124", "computer_20251124", V2_EDITOR),
        ("computer_20250124", "computer_20250124", V2_EDITOR),
        ("computer_20250124_legacy", "computer_20250124", V1_EDITOR),
    ],
)
def test_a_pin_replaces_the_models_set(pin, computer, editor):
    agent = Steerix("k", model="claude-opus-5-5", executor=VersionedExecutor(), tool_set=pin)
    assert agent._tool_set == pin
    tools = agent.get_tool_definitions()
    assert (tools[0]["type"], tools[2]) == (computer, editor)


@pytest.mark.parametrize(
    "pin, error, match",
    [
        (b"computer_20251124", TypeError, "tool_set must be str or None, not bytes"),
        (1, TypeError, "not int"),
        (type("S", (str,), {})("computer_20251124"), TypeError, "not S"),
        (
            "computer_2025",
            ValueError,
            "unknown tool set 'computer_2025'; known tool sets: "
            "computer_toolset_20260801, computer_20251124, "
            "computer_20250124, computer_20250124_legacy",
        ),
        ("Computer_20251124", ValueError, "unknown tool set"),
    ],
)
def test_a_pin_that_is_no_known_set_is_refused_before_anything_is_stored(pin, error, match):
    made = []

    class Counting(Steerix):
        pass

    with pytest.raises(error, match=match):
        agent = Counting.__new__(Counting)
        made.append(agent)
        agent.__init__("k", executor=object(), tool_set=pin)
    assert vars(made[0]) == {}


def test_the_pin_is_keyword_only_and_the_positional_signature_is_unchanged():
    with pytest.raises(TypeError):
        Steerix("k", "claude-sonnet-4-6", object(), 5, "computer_20251124")
    agent = Steerix("k", "claude-opus-5-5", object(), 5)
    assert (agent._model, agent._max_iterations, agent._tool_set) == ("claude-opus-5-5", 5, None)


def test_the_set_follows_later_changes_of_model_and_pin():
    agent = Steerix("k", executor=VersionedExecutor())
    assert agent.get_tool_definitions()[0]["type"] == "computer_20251124"
    agent._model = "claude-haiku-5-5"
    assert agent.get_tool_definitions()[0]["type"] == TOOLSET
    agent._tool_set = "computer_20250124_legacy"
    assert agent.get_tool_definitions()[2] == V1_EDITOR
    agent._tool_set = "nonsense"
    with pytest.raises(ValueError, match="unknown tool set 'nonsense'"):
        agent.get_tool_definitions()
    agent._tool_set = None
    agent._model = 7  # not text: no model the table knows
    assert agent.get_tool_definitions()[0]["type"] == TOOLSET


# ---------------------------------------------------------------------------------------------
# The computer entry


class FixedExecutor(RecordingExecutor):
    """A host's executor that knows one definition and takes no version."""

    def __init__(self, definition):
        super().__init__()
        self.definition = definition

    def get_tool_definition(self):
        return self.definition


WITH_SIZE = {"name": "computer", "display_width_px": 800, "display_height_px": 600}


@pytest.mark.parametrize(
    "model, definition, expected",
    [
        # Already the model's version: passed on unchanged, the very object.
        ("claude-sonnet-4-5", {"type": "computer_20250124", **WITH_SIZE}, "same"),
        # Another single tool: a copy with the model's type, every other key kept.
        (
            "claude-sonnet-4-6",
            {"type": "computer_20250124", **WITH_SIZE, "display_number": 1},
            {"type": "computer_20251124", **WITH_SIZE, "display_number": 1},
        ),
        # No zoom where the version has none.
        (
            "claude-sonnet-4-5",
            {"type": "computer_20251124", **WITH_SIZE, "enable_zoom": True},
            {"type": "computer_20250124", **WITH_SIZE},
        ),
        # To the toolset: no name, no display size; zoom off unless the single tool offered it.
        (
            "claude-opus-5-5",
            {"type": "computer_20250124", **WITH_SIZE, "cache_control": {"type": "ephemeral"}},
            {
                "type": TOOLSET,
                "cache_control": {"type": "ephemeral"},
                "configs": {"zoom": {"enabled": False}},
            },
        ),
        (
            "claude-opus-5-5",
            {"type": "computer_20251124", **WITH_SIZE, "enable_zoom": True},
            {"type": TOOLSET},
        ),
        (
            "claude-opus-5-5",
            {"type": "computer_20251124", **WITH_SIZE, "enable_zoom": False},
            {"type": TOOLSET, "configs": {"zoom": {"enabled": False}}},
        ),
        # From the toolset to a single tool: its name comes back, its configs go.
        (
            "claude-sonnet-4-6",
            {"type": TOOLSET, "configs": {"wait": {"enabled": False}}},
            {"type": "computer_20251124", "name": "computer"},
        ),
        # Not a dict, or no type to judge by: left to the service to judge.
        ("claude-opus-5-5", {"name": "computer"}, "same"),
        ("claude-opus-5-5", [("type", "computer_20250124")], "same"),
    ],
    ids=[
        "same",
        "to-20251124",
        "to-20250124",
        "to-toolset",
        "to-toolset-zoom",
        "to-toolset-zoom-off",
        "from-toolset",
        "no-type",
        "not-a-dict",
    ],
)
def test_a_host_executor_definition_is_rewritten_on_a_copy(model, definition, expected):
    snapshot = repr(definition)
    computer = tools_of(model, FixedExecutor(definition))[0]
    if expected == "same":
        assert computer is definition
    else:
        assert computer == expected and computer is not definition
    assert repr(definition) == snapshot  # the executor's own object is untouched


def test_an_executor_that_takes_the_version_gives_the_definition_itself():
    executor = VersionedExecutor()
    computer = tools_of("claude-sonnet-4-6", executor)[0]
    assert computer == {**COMPUTER_TOOL, "type": "computer_20251124", "enable_zoom": True}
    assert tools_of("claude-haiku-5-5", executor)[0] == {"type": TOOLSET}


def test_a_failing_version_setter_propagates():
    class Refusing(RecordingExecutor):
        @property
        def tool_version(self):
            return "computer_20250124"

        @tool_version.setter
        def tool_version(self, value):
            raise ValueError(f"cannot speak {value}")

    with pytest.raises(ValueError, match="cannot speak computer_20251124"):
        tools_of("claude-sonnet-4-6", Refusing())


# ---------------------------------------------------------------------------------------------
# Dispatch


def run(coro):
    return asyncio.run(coro)


@pytest.mark.parametrize("name", ["str_replace_based_edit_tool", "str_replace_editor"])
@pytest.mark.parametrize("model", ["claude-sonnet-4-6", "claude-3-7-sonnet-latest"])
def test_both_editor_names_reach_the_editor(tmp_path, model, name):
    agent = Steerix("k", model=model, executor=object())
    target = tmp_path / "f.txt"
    target.write_text("a\nb\n")
    out = run(agent._execute_tool(name, {"command": "view", "path": str(target)}))
    assert out == {"type": "text", "text": f"Contents of {target}:\n   1 | a\n   2 | b"}


@pytest.mark.parametrize(
    "model, outcome",
    [
        ("claude-3-7-sonnet-20250219", {"type": "text", "text": "Undo not supported yet"}),
        ("claude-sonnet-4-6", {"type": "error", "error": "Unknown editor command: undo_edit"}),
        ("claude-opus-5-5", {"type": "error", "error": "Unknown editor command: undo_edit"}),
    ],
)
def test_undo_edit_exists_only_in_the_2025_01_24_editor(tmp_path, model, outcome):
    agent = Steerix("k", model=model, executor=object())
    for name in ("str_replace_based_edit_tool", "str_replace_editor"):
        assert run(agent._execute_tool(name, {"command": "undo_edit", "path": "x"})) == outcome
    # The path check still comes first.
    assert run(agent._execute_text_editor({"command": "undo_edit"})) == {
        "type": "error",
        "error": "No path provided",
    }


@pytest.mark.parametrize(
    "given, line",
    [
        ({"insert_text": "new"}, "new"),
        ({"new_str": "old style"}, "old style"),
        ({"insert_text": "wins", "new_str": "loses"}, "wins"),
        ({"insert_text": None, "new_str": "null means absent"}, "null means absent"),
        ({}, ""),
    ],
    ids=["insert_text", "new_str", "both", "null", "neither"],
)
def test_insert_takes_insert_text_and_falls_back_to_new_str(tmp_path, given, line):
    target = tmp_path / "f.txt"
    target.write_text("one\ntwo\n")
    agent = Steerix("k", executor=object())
    out = run(
        agent._execute_text_editor(
            {"command": "insert", "path": str(target), "insert_line": 1, **given}
        )
    )
    assert out == {"type": "text", "text": f"Inserted text at line 1 in {target}"}
    assert target.read_text() == f"one\n{line}\ntwo\n"


def test_insert_text_of_the_wrong_type_is_an_editor_error(tmp_path):
    target = tmp_path / "f.txt"
    target.write_text("x\n")
    out = run(
        Steerix("k", executor=object())._execute_text_editor(
            {"command": "insert", "path": str(target), "insert_text": 5}
        )
    )
    assert out["type"] == "error" and out["error"].startswith("Editor error: ")
    assert target.read_text() == "x\n"


# ---------------------------------------------------------------------------------------------
# The task loop on a thinking model with the toolset (fake client package)


@pytest.mark.asyncio
async def test_toolset_calls_go_to_the_executor_by_member_name(fake):
    executor = VersionedExecutor([{"type": "text", "text": "clicked"}])
    agent = FastSteerix("k", model="claude-opus-5-5", executor=executor)
    click = tool_use(
        "t1", "left_click", {"coordinate": [3, 4], "action": "not mine"}, toolset_name="computer"
    )
    shot = tool_use("t2", "screenshot", {}, toolset_name="computer")
    other = tool_use("t3", "navigate", {"url": "x"}, toolset_name="browser")
    fake.script += [
        response(thinking("I'll click the button."), click, shot, other),
        response(thinking(""), text("Done.")),
    ]
    events = await collect(agent.run_task("go"))
    assert kinds(events) == [
        "thinking",
        "iteration",
        "text",
        "tool_call",
        "tool_result",
        "tool_call",
        "tool_result",
        "tool_call",
        "tool_result",
        "iteration",
        "text",
        "done",
    ]
    assert events[2].data == {"content": "I'll click the button.", "source": "thinking"}
    # The member is the action; an "action" among its parameters is not passed on.
    assert executor.calls == [("left_click", {"coordinate": [3, 4]}), ("screenshot", {})]
    assert events[3].data == {
        "id": "t1",
        "tool": "left_click",
        "input": click.input,
        "toolset": "computer",
    }
    assert events[3].data["input"] is click.input
    assert list(events[4].data) == ["id", "tool", "result", "toolset"]
    assert events[8].data == {
        "id": "t3",
        "tool": "navigate",
        "result": {"type": "error", "error": "Unknown tool: navigate"},
    }
    # The empty thinking of the last answer makes no event; its text does.
    assert events[10].data == {"content": "Done."}
    # The history keeps the thinking block whole and the member calls with their toolset.
    assert fake.calls[1].messages_snapshot[1] == {
        "role": "assistant",
        "content": [
            {"type": "thinking", "thinking": "I'll click the button.", "signature": "sig"},
            {
                "type": "tool_use",
                "id": "t1",
                "name": "left_click",
                "input": click.input,
                "toolset_name": "computer",
            },
            {
                "type": "tool_use",
                "id": "t2",
                "name": "screenshot",
                "input": {},
                "toolset_name": "computer",
            },
            {
                "type": "tool_use",
                "id": "t3",
                "name": "navigate",
                "input": {"url": "x"},
                "toolset_name": "browser",
            },
        ],
    }


@pytest.mark.asyncio
async def test_a_subclass_sees_toolset_calls_in_the_computer_form(fake):
    seen = []

    class Watching(FastSteerix):
        async def _execute_tool(self, tool_name, tool_input):
            seen.append((tool_name, tool_input))
            return {"type": "text", "text": "ok"}

    fake.script += [
        response(tool_use("t", "zoom", {"region": [0, 0, 5, 5]}, "computer")),
        response(text("fine")),
    ]
    agent = Watching("k", model="claude-sonnet-5-5", executor=VersionedExecutor())
    await collect(agent.run_task("z"))
    assert seen == [("computer", {"action": "zoom", "region": [0, 0, 5, 5]})]


@pytest.mark.asyncio
async def test_redacted_thinking_goes_back_and_shows_nothing(fake):
    agent = FastSteerix("k", model="claude-haiku-5-5", executor=VersionedExecutor())
    fake.script += [
        response(
            Block("redacted_thinking", data="ZW5j"), tool_use("t", "bash", {"command": "true"})
        ),
        response(text("ok")),
    ]
    events = await collect(agent.run_task("r"))
    assert [e.type for e in events if e.type == "text"] == ["text"]
    assert fake.calls[1].messages_snapshot[1]["content"][0] == {
        "type": "redacted_thinking",
        "data": "ZW5j",
    }
