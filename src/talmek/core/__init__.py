"""The core of talmek; `steerix` is the desktop agent."""
