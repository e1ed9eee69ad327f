"""The tester side: helpers for programs that an agent launches.

A tester finds the agent's ports in its environment: "KVS_PORT_RDV" for
rendezvous, "KVS_PORT_TSTAGT" for dynamic follow (the variables that the
connection process sets for the programs it launches).
"""

from __future__ import annotations

import os
import select
import socket
import time
from dataclasses import dataclass
from typing import Literal

from .errors import AgentClosed, AgentError, AgentTimeout

RENDEZVOUS_PORT_VARIABLE = "KVS_PORT_RDV"
DYNFOLLOW_PORT_VARIABLE = "KVS_PORT_TSTAGT"
# The agent takes what one receive returns as the whole name.
RENDEZVOUS_NAME_MAX = 2197
_CONNECT_TIMEOUT = 10.0


def port_from_env(variable: str) -> int:
    """The port named by an environment variable; AgentError when it is unset
    or no port number."""
    text = os.environ.get(variable, "")
    if not text.isdigit() or not 1 <= int(text) <= 65535:
        raise AgentError(f"no port in {variable} (is this program launched by the agent?)")
    return int(text)


def _remaining(deadline: float | None) -> float | None:
    return None if deadline is None else max(0.0, deadline - time.monotonic())


def rendezvous(name: str, timeout: float | None = None, *, port: int | None = None, host: str = "localhost") -> bool:
    """Waits at the rendezvous `name` until the studio answers: True for
    "Ok" (RVOK), False for "Ko" (RVKO, or the connection ended). `timeout`
    in seconds, None: no limit. AgentError when no answer can come."""
    raw = name.encode("utf-8", errors="surrogateescape")
    if b"\0" in raw or len(raw) > RENDEZVOUS_NAME_MAX:
        raise ValueError("a rendezvous name holds no NUL and at most 2197 bytes")
    if port is None:
        port = port_from_env(RENDEZVOUS_PORT_VARIABLE)
    deadline = None if timeout is None else time.monotonic() + timeout
    with socket.create_connection((host, port), timeout=_CONNECT_TIMEOUT) as sock:
        # One send, so that the agent reads the whole name in one receive.
        sock.sendall(raw + b"\r\n")
        answer = b""
        while len(answer) < 2:
            ready, _, _ = select.select([sock], [], [], _remaining(deadline))
            if not ready:
                raise AgentTimeout(f"no answer at rendezvous {name!r} in time")
            piece = sock.recv(64)
            if not piece:
                raise AgentClosed(f"the agent closed the rendezvous {name!r} without an answer")
            answer += piece
    if answer == b"Ok":
        return True
    if answer == b"Ko":
        return False
    raise AgentError(f"unexpected rendezvous answer {answer!r}")


@dataclass(frozen=True)
class Answer:
    """The studio's answer to a dynamic-follow tester."""

    kind: Literal["ok", "ko", "text"]
    text: str  # "Ok", "Ko" or the text line without its CR LF

    @property
    def ok(self) -> bool:
        return self.kind != "ko"


class Reporter:
    """A dynamic-follow tester connection: ``boot(text)``, then ``line(text)``
    for each progress line (keywords such as "TSF_synchro", "End_of ...";
    "STDIOLKAVAIL" asks for the studio's availability), then
    ``wait_answer()``. A context manager."""

    def __init__(self, port: int | None = None, host: str = "localhost", timeout: float = _CONNECT_TIMEOUT) -> None:
        if port is None:
            port = port_from_env(DYNFOLLOW_PORT_VARIABLE)
        self._sock = socket.create_connection((host, port), timeout=timeout)
        self._received = b""
        self._eof = False

    def __enter__(self) -> Reporter:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        self._sock.close()

    def boot(self, text: str, gap: float = 0.2) -> None:
        """Sends the boot message as it is. The agent takes the first data it
        reads as the whole boot message, so this waits until the agent's host
        has acknowledged it and `gap` seconds more."""
        self._sock.sendall(text.encode("utf-8", errors="surrogateescape"))
        deadline = time.monotonic() + 5.0
        try:
            import fcntl
            import struct
            import termios

            while time.monotonic() < deadline:
                queued = struct.unpack("i", fcntl.ioctl(self._sock.fileno(), termios.TIOCOUTQ, b"\0\0\0\0"))[0]
                if queued == 0:
                    break
                time.sleep(0.002)
        except (ImportError, OSError):
            pass
        if gap > 0:
            time.sleep(gap)

    def line(self, text: str) -> None:
        """Sends one line (CR LF is added)."""
        if "\r" in text or "\n" in text:
            raise ValueError("a dynamic-follow line holds no CR or LF")
        self._sock.sendall(text.encode("utf-8", errors="surrogateescape") + b"\r\n")

    def _take(self) -> Answer | None:
        got = self._received
        if len(got) == 2 or (self._eof and len(got) >= 2):
            if got[:2] in (b"Ok", b"Ko"):
                self._received = got[2:]
                return Answer("ok" if got[:2] == b"Ok" else "ko", got[:2].decode())
        at = got.find(b"\r\n")
        if at < 0:
            return None
        self._received = got[at + 2:]
        return Answer("text", got[:at].decode("utf-8", errors="surrogateescape"))

    def wait_answer(self, timeout: float | None = None) -> Answer:
        """The studio's next answer: "Ok" (DFOK), "Ko" (DFKO) or a text line
        (ISND, TOUT, AVAI). `timeout` in seconds, None: no limit."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            found = self._take()
            if found is not None:
                return found
            if self._eof:
                raise AgentClosed("the agent closed the connection without an answer")
            ready, _, _ = select.select([self._sock], [], [], _remaining(deadline))
            if not ready:
                raise AgentTimeout("no answer from the studio in time")
            piece = self._sock.recv(4096)
            if piece:
                self._received += piece
            else:
                self._eof = True
