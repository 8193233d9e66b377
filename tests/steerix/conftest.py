import sys
from pathlib import Path

import pytest

# The shared fakes live in tests/support.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from support.executors import RecordingExecutor  # noqa: E402
from support.fake_anthropic import FakeAnthropic  # noqa: E402
from support.agents import FastSteerix  # noqa: E402


@pytest.fixture
def executor():
    return RecordingExecutor()


@pytest.fixture
def agent(executor):
    return FastSteerix("test-key", executor=executor)


@pytest.fixture
def fake(monkeypatch):
    """A scripted fake `anthropic` package; append responses to fake.script."""
    f = FakeAnthropic([])
    f.install(monkeypatch)
    return f

