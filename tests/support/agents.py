"""Agent variants for tests."""

from talmek.core.steerix import Steerix


class FastSteerix(Steerix):
    """The agent without the pause after tool calls, so that tests run quickly."""

    ACTION_DELAY = 0
