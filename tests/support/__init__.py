"""Fakes shared by the test suites: a stand-in `anthropic` module, a local fake Messages API
server, and desktop executors that record what they are asked to do."""
