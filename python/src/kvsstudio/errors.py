"""The one exception type of the package and its refinements."""

from __future__ import annotations


def visible(text: str) -> str:
    """`text` with every control character, C1 character and undecodable
    byte shown as an escape (\\x1b, \\r, \\x9b, \\xff), so that what an agent
    sent cannot act on a terminal or pass for this side's own words."""
    out = []
    for c in text:
        n = ord(c)
        if c == "\t":
            out.append("\\t")
        elif c == "\r":
            out.append("\\r")
        elif c == "\n":
            out.append("\\n")
        elif n < 0x20 or 0x7F <= n < 0xA0:
            out.append(f"\\x{n:02x}")
        elif 0xDC80 <= n <= 0xDCFF:  # a byte that was not UTF-8 (surrogateescape)
            out.append(f"\\x{n - 0xDC00:02x}")
        elif 0xD800 <= n <= 0xDFFF or n in (0x2028, 0x2029, 0x202E, 0x2066, 0x2067, 0x2068, 0x2069):
            out.append(f"\\u{n:04x}")
        else:
            out.append(c)
    return "".join(out)


class AgentError(Exception):
    """A failure: the agent's failure reply (with `code` and `text`), or a
    local one (connection, time-out, protocol) with `code` None.

    When the agent told the cause of a failure reply (XWHY), `call` is the
    system call that failed, `error` the system's error text and `path` the
    file it concerned (may be empty); all three are None otherwise. The
    message shows what came from the agent with its control characters
    escaped; `text`, `error` and `path` hold it as it came."""

    def __init__(self, message: str, code: int | None = None, text: str | None = None, *,
                 call: str | None = None, error: str | None = None, path: str | None = None) -> None:
        super().__init__(message)
        self.code = code
        self.text = text
        self.call = call
        self.error = error
        self.path = path


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


class TlsError(AgentError):
    """A TLS failure: the handshake (the agent's certificate, its host name,
    a certificate of ours the agent refused), the session, or a certificate
    or key file. The message gives OpenSSL's reason; `reason` is its short
    code where it has one (e.g. "CERTIFICATE_VERIFY_FAILED")."""

    def __init__(self, message: str, reason: str | None = None) -> None:
        super().__init__(message)
        self.reason = reason
