"""kvsstudio: drive kvsagtd test agents from Python.

    from kvsstudio import Agent
    with Agent("testhost") as agent:
        result = agent.run(["make", "check"], cwd="/src", timeout=600)

    # over TLS, verifying the agent against ca.pem, with our own certificate
    with Agent("testhost", ssl_context=tls_context("ca.pem", "me.pem", "me.key")) as agent:
        ...
"""

from .agent import (
    DEFAULT_PORT,
    DEFAULT_TIMEOUT,
    Agent,
    AsciiFromWire,
    Process,
    ProcessStatus,
    Reply,
    Result,
    Stopped,
    ascii_to_wire,
    local_user,
)
from .errors import AgentClosed, AgentError, AgentTimeout, RunTimeout, TlsError
from .events import Event, is_notification, parse_event
from .quoting import quote_command, quote_word_posix, quote_word_windows
from .tester import Answer, Reporter, rendezvous
from .tls import TlsSocket, tls_context

__all__ = [
    "DEFAULT_PORT",
    "DEFAULT_TIMEOUT",
    "Agent",
    "AgentClosed",
    "AgentError",
    "AgentTimeout",
    "Answer",
    "AsciiFromWire",
    "Event",
    "Process",
    "ProcessStatus",
    "Reply",
    "Reporter",
    "Result",
    "RunTimeout",
    "Stopped",
    "TlsError",
    "TlsSocket",
    "ascii_to_wire",
    "is_notification",
    "local_user",
    "parse_event",
    "quote_command",
    "quote_word_posix",
    "quote_word_windows",
    "rendezvous",
    "tls_context",
]
__version__ = "8.0.1"
