"""The one exception type of the package and its refinements."""

from __future__ import annotations


class AgentError(Exception):
    """A failure: the agent's failure reply (with `code` and `text`), or a
    local one (connection, time-out, protocol) with `code` None."""

    def __init__(self, message: str, code: int | None = None, text: str | None = None) -> None:
        super().__init__(message)
        self.code = code
        self.text = text


class AgentTimeout(AgentError):
    """The agent did not answer within the time-out. The connection is closed
    afterwards: a late reply would be taken for the answer to a later command."""


class AgentClosed(AgentError):
    """The connection has ended (closed by the agent, or by this side)."""


class RunTimeout(AgentError):
    """A program run by `Agent.run` outlived its time-out and was stopped
    (the connection stays usable). `output` holds what it wrote until then,
    `number` is its process number."""

    def __init__(self, message: str, number: int, output: bytes) -> None:
        super().__init__(message)
        self.number = number
        self.output = output
