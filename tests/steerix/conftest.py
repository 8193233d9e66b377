import pytest

from support.agents import FastSteerix
from support.executors import RecordingExecutor
from support.fake_anthropic import FakeAnthropic


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
