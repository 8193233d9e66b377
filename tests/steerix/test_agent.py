"""Steerix construction, state, tool definitions, system prompt, block serialisation, module
contents, and ComputerUseEvent."""

import logging
import sys
import typing
from pathlib import Path

import pytest

from support.executors import RecordingExecutor
from support.fake_anthropic import Block
from talmek.core import steerix
from talmek.core.steerix import ComputerUseEvent, Steerix
from talmek.pc.computer_use import ComputerUseExecutor

# ---------------------------------------------------------------------------------------------
# Module and class layout


def test_module_contents_in_order():
    names = [n for n in vars(steerix) if not n.startswith("__") and not n.startswith("_run_")]
    assert names == [
        "asyncio",
        "logging",
        "Any",
        "AsyncIterator",
        "Callable",
        "logger",
        "ComputerUseEvent",
        "Steerix",
        "Path",
    ]
    assert steerix.Any is typing.Any and steerix.Path is Path
    assert steerix.logger is logging.getLogger("talmek.agent.computer_use")


def test_loading_needs_neither_the_client_nor_the_host_module():
    code = (
        "import sys; sys.modules['anthropic'] = None; import talmek.core.steerix; "
        "assert 'talmek.pc.computer_use' not in sys.modules"
    )
    import subprocess

    subprocess.run([sys.executable, "-c", code], check=True)


def test_members_in_class_order():
    members = [n for n in vars(Steerix) if not n.startswith("__")]
    assert members[:14] == [
        "MAX_ITERATIONS",
        "ACTION_DELAY",
        "on_event",
        "_emit",
        "get_tool_definitions",
        "_build_system_prompt",
        "run_task",
        "_execute_tool",
        "_execute_bash",
        "_execute_text_editor",
        "_serialize_block",
        "stop",
        "is_running",
        "iteration_count",
    ]
    assert list(vars(Steerix)).index("__init__") == list(vars(Steerix)).index("ACTION_DELAY") + 1
    assert Steerix.MAX_ITERATIONS == 50
    assert type(Steerix.ACTION_DELAY) is float and Steerix.ACTION_DELAY == 0.5


def test_documentation():
    assert Steerix.get_tool_definitions.__doc__ == (
        "Get the tool definitions for the Anthropic API.\n\n"
        "Returns the computer use tool plus bash and text editor tools."
    )
    assert (
        Steerix._serialize_block.__doc__
        == "Serialize an API content block to a dict for message history."
    )
    assert Steerix.stop.__doc__ == "Stop the current task."


# ---------------------------------------------------------------------------------------------
# Construction


def test_defaults():
    agent = Steerix("k")
    assert agent._api_key == "k"
    assert agent._model == "claude-sonnet-4-6"
    assert agent._max_iterations == 50
    assert type(agent._executor) is ComputerUseExecutor
    assert agent._event_handlers == [] and agent._messages == []
    assert agent._running is False and agent.is_running is False
    assert agent._iteration_count == 0 and agent.iteration_count == 0
    other = Steerix("k")
    assert other._event_handlers is not agent._event_handlers
    assert other._executor is not agent._executor


def test_supplied_executor_is_kept_and_host_module_not_imported():
    import subprocess

    code = (
        "import talmek.core.steerix as s, sys; ex = object(); a = s.Steerix('k', executor=ex); "
        "assert a._executor is ex; assert 'talmek.pc.computer_use' not in sys.modules"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


@pytest.mark.parametrize(
    "given, stored",
    [
        (3, 3),
        (3.9, 3),
        (-2.5, -2),
        (True, 1),
        (False, 0),
        (10**30, 10**30),
    ],
)
def test_max_iterations_conversion(given, stored):
    agent = Steerix("k", executor=object(), max_iterations=given)
    assert agent._max_iterations == stored and type(agent._max_iterations) is int


@pytest.mark.parametrize(
    "kwargs",
    [
        {"api_key": 1},
        {"api_key": None},
        {"api_key": type("S", (str,), {})("k")},
        {"api_key": "k", "model": b"m"},
        {"api_key": "k", "model": None},
        {"api_key": "k", "max_iterations": "3"},
        {"api_key": "k", "max_iterations": None},
        {"api_key": "k", "max_iterations": [3]},
    ],
)
def test_constructor_type_checks(kwargs):
    with pytest.raises(TypeError):
        Steerix(executor=object(), **kwargs)


def test_failing_default_executor_propagates(monkeypatch):
    import talmek.pc.computer_use as host

    class Broken:
        def __init__(self):
            raise RuntimeError("no display")

    monkeypatch.setattr(host, "ComputerUseExecutor", Broken)
    with pytest.raises(RuntimeError, match="no display"):
        Steerix("k")
    monkeypatch.delattr(host, "ComputerUseExecutor")
    with pytest.raises(ImportError):
        Steerix("k")


def test_keyword_construction_and_fields_are_writable():
    ex = RecordingExecutor()
    agent = Steerix(api_key="a", model="m", executor=ex, max_iterations=4)
    assert (agent._api_key, agent._model, agent._executor, agent._max_iterations) == (
        "a",
        "m",
        ex,
        4,
    )
    agent._iteration_count = 2.7
    assert agent.iteration_count == 2
    agent._iteration_count = None
    assert agent.iteration_count is None
    agent._running = "yes"
    assert agent.is_running == "yes"
    agent.ACTION_DELAY = 0
    assert agent.ACTION_DELAY == 0 and Steerix.ACTION_DELAY == 0.5
    assert list(vars(agent)) == [
        "_api_key",
        "_model",
        "_max_iterations",
        "_executor",
        "_event_handlers",
        "_messages",
        "_running",
        "_iteration_count",
        "_tool_set",
        "ACTION_DELAY",
    ]
    assert agent._tool_set is None
    with pytest.raises(AttributeError):
        agent.is_running = True


def test_subclass_with_own_init():
    class Custom(Steerix):
        def __init__(self, note):
            super().__init__("key", executor=object())
            self.note = note

    c = Custom("hello")
    assert c.note == "hello" and c._api_key == "key" and isinstance(c, Steerix)


def test_stop():
    agent = Steerix("k", executor=object())
    agent._running = True
    assert agent.stop() is None
    assert agent.is_running is False


# ---------------------------------------------------------------------------------------------
# Tool definitions and system prompt


def test_tool_definitions():
    ex = RecordingExecutor()
    agent = Steerix("k", executor=ex)
    first, second = agent.get_tool_definitions(), agent.get_tool_definitions()
    assert first is not second and ex.definition_calls == 2
    # The default model's editor; the executor's definition (made for computer_20250124, and
    # the executor takes no version) rewritten on a copy for computer_20251124.
    assert first[1:] == [
        {"type": "bash_20250124", "name": "bash"},
        {"type": "text_editor_20250728", "name": "str_replace_based_edit_tool"},
    ]
    assert first[1] is not second[1] and first[2] is not second[2]
    assert [list(d) for d in first[1:]] == [["type", "name"], ["type", "name"]]
    assert first[0] == {**ex.get_tool_definition(), "type": "computer_20251124"}
    legacy = Steerix("k", model="claude-3-7-sonnet-20250219", executor=ex).get_tool_definitions()
    assert legacy[0] == ex.get_tool_definition()
    assert legacy[2] == {"type": "text_editor_20250124", "name": "str_replace_editor"}


def test_tool_definition_is_the_executors_object():
    marker = object()

    class Ex:
        def get_tool_definition(self):
            return marker

    assert Steerix("k", executor=Ex()).get_tool_definitions()[0] is marker


def test_system_prompt():
    # The prompt the agent was written with, for the model of its original tool set.
    agent = Steerix("k", model="claude-3-7-sonnet-latest", executor=object())
    prompt = agent._build_system_prompt()
    assert len(prompt) == 1359
    lines = prompt.split("\n")
    assert len(lines) == 23
    assert [i + 1 for i, line in enumerate(lines) if not line] == [2, 17, 22]
    assert all(lines[i].startswith("   - ") for i in (6, 7, 8))
    assert "\u2014" in lines[9]
    assert prompt.startswith("You are Talmek,")
    assert prompt.endswith("current state of the screen.")
    assert (
        lines[18]
        == "- `computer`: Take screenshots, click, type, scroll, and interact with the desktop"
    )
    assert lines[20] == "- `str_replace_editor`: View and edit text files"
    assert agent._build_system_prompt() == prompt
    # Other sets change only the line that names the editor.
    for model in ("claude-sonnet-4-6", "claude-opus-5-5"):
        other = Steerix("k", model=model, executor=object())._build_system_prompt().split("\n")
        assert other[20] == "- `str_replace_based_edit_tool`: View and edit text files"
        assert other[:20] + other[21:] == lines[:20] + lines[21:]


# ---------------------------------------------------------------------------------------------
# Block serialisation


@pytest.mark.parametrize(
    "block, expected",
    [
        (Block("text", text=""), {"type": "text", "text": ""}),
        (Block("text", text="hi", id="ignored"), {"type": "text", "text": "hi"}),
        (
            Block("tool_use", id="t", name="bash", input={"command": "ls"}),
            {"type": "tool_use", "id": "t", "name": "bash", "input": {"command": "ls"}},
        ),
        (
            Block(
                "tool_use",
                id="t",
                name="zoom",
                input={"region": [0, 0, 9, 9]},
                toolset_name="computer",
            ),
            {
                "type": "tool_use",
                "id": "t",
                "name": "zoom",
                "input": {"region": [0, 0, 9, 9]},
                "toolset_name": "computer",
            },
        ),
        (
            Block("thinking", text="ignored", thinking="I'll click Save.", signature="c2ln"),
            {"type": "thinking", "thinking": "I'll click Save.", "signature": "c2ln"},
        ),
        (
            Block("thinking", thinking="", signature="c2ln"),
            {"type": "thinking", "thinking": "", "signature": "c2ln"},
        ),
        (Block("redacted_thinking", data="ZW5j"), {"type": "redacted_thinking", "data": "ZW5j"}),
        (Block("server_tool_use", id="s", name="web_search"), {"type": "server_tool_use"}),
    ],
)
def test_serialize_block(block, expected):
    d = Steerix("k", executor=object())._serialize_block(block)
    assert d == expected and list(d) == list(expected)


def test_serialize_tool_use_keeps_the_input_object():
    inp = {"a": 1}
    d = Steerix("k", executor=object())._serialize_block(
        Block("tool_use", id="i", name="n", input=inp)
    )
    assert d["input"] is inp


def test_serialize_reads_type_as_the_algorithm_does():
    reads = []

    class Counting:
        text, id, name, input = "t", "i", "n", {}

        @property
        def type(self):
            reads.append("type")
            return "other"

    assert Steerix("k", executor=object())._serialize_block(Counting()) == {"type": "other"}
    assert reads == ["type"] * 3


@pytest.mark.parametrize(
    "kind, attrs",
    [
        ("text", {}),
        ("tool_use", {"id": "i", "name": "n"}),
        ("thinking", {"thinking": "t"}),
        ("redacted_thinking", {}),
    ],
)
def test_serialize_missing_attribute(kind, attrs):
    block = type("Partial", (), {"type": kind, **attrs})()
    with pytest.raises(AttributeError):
        Steerix("k", executor=object())._serialize_block(block)


def test_serialize_tool_use_without_toolset_name_attribute():
    # Blocks of other clients carry no toolset_name: the dictionary is the plain one.
    block = type("Plain", (), {"type": "tool_use", "id": "i", "name": "n", "input": {}})()
    assert list(Steerix("k", executor=object())._serialize_block(block)) == [
        "type",
        "id",
        "name",
        "input",
    ]


# ---------------------------------------------------------------------------------------------
# ComputerUseEvent


def test_event_defaults_and_to_dict():
    e = ComputerUseEvent("done")
    assert e.type == "done" and e.data == {}
    assert e.to_dict() == {"type": "done"}


def test_event_data_identity():
    empty = {}
    assert ComputerUseEvent("x", empty).data is not empty
    full = {"a": 1}
    e = ComputerUseEvent("x", full)
    assert e.data is full
    full["b"] = 2
    assert e.to_dict() == {"type": "x", "a": 1, "b": 2}
    assert ComputerUseEvent(type="x", data=None).data == {}


def test_event_to_dict_order_and_override():
    e = ComputerUseEvent("x", {"a": 1, "type": "y", "b": 2})
    d = e.to_dict()
    assert d == {"type": "y", "a": 1, "b": 2} and list(d) == ["type", "a", "b"]
    assert e.type == "x" and d is not e.data


@pytest.mark.parametrize(
    "args",
    [
        (1,),
        (None,),
        (b"x",),
        (type("S", (str,), {})("x"),),
        ("x", []),
        ("x", 1),
        ("x", type("D", (dict,), {})(a=1)),
    ],
)
def test_event_type_checks(args):
    with pytest.raises(TypeError):
        ComputerUseEvent(*args)


def test_event_attributes_are_writable():
    e = ComputerUseEvent("x", {"a": 1})
    e.type = "z"
    e.data = {"q": 0}
    assert e.to_dict() == {"type": "z", "q": 0}
    e.data = None
    with pytest.raises(TypeError):
        e.to_dict()
    e.extra = 1  # a plain class: instances take attributes
    assert vars(e) == {"type": "z", "data": None, "extra": 1}


def test_event_subclass():
    class Mine(ComputerUseEvent):
        def describe(self):
            return f"{self.type}:{self.data}"

    assert Mine("t", {"k": 1}).describe() == "t:{'k': 1}"
    assert Mine("t").to_dict() == {"type": "t"}


def test_event_round_trips_through_pickle_and_copy():
    import copy
    import pickle

    e = ComputerUseEvent("tool_call", {"id": "t", "input": {"a": [1]}})
    for clone in (pickle.loads(pickle.dumps(e)), copy.deepcopy(e)):
        assert type(clone) is ComputerUseEvent and clone.to_dict() == e.to_dict()


def test_signatures():
    import inspect

    assert str(inspect.signature(Steerix)) == (
        "(api_key, model='claude-sonnet-4-6', executor=None, max_iterations=50, *, tool_set=None, "
        "roots=None)"
    )
    assert str(inspect.signature(ComputerUseEvent)) == "(type, data=None)"
    assert list(inspect.signature(Steerix._execute_tool).parameters) == [
        "self",
        "tool_name",
        "tool_input",
    ]


class KeysOnly:
    """A mapping in the sense of {**m}: keys() and [] and nothing else."""

    def keys(self):
        return ["k"]

    def __getitem__(self, key):
        return key.upper()


class BrokenKeys:
    def keys(self):
        raise AttributeError("inner failure")


@pytest.mark.parametrize(
    "data, expected",
    [
        ([("a", 1)], "'list' object is not a mapping"),
        ((1, 2), "'tuple' object is not a mapping"),
        ("ab", "'str' object is not a mapping"),
        (None, "'NoneType' object is not a mapping"),
        (7, "'int' object is not a mapping"),
        (BrokenKeys(), "'BrokenKeys' object is not a mapping"),
        (KeysOnly(), {"type": "x", "k": "K"}),
    ],
    ids=["list", "tuple", "str", "none", "int", "keys-raises", "keys-only"],
)
def test_to_dict_unpacks_data_as_a_dict_display_does(data, expected):
    # The reference is the interpreter's own {"type": ..., **data}.
    e = ComputerUseEvent("x", {"a": 1})
    e.data = data
    try:
        reference = {"type": e.type, **data}
    except TypeError as exc:
        assert str(exc) == expected
        with pytest.raises(TypeError, match=f"^{expected}$"):
            e.to_dict()
    else:
        assert e.to_dict() == reference == expected
