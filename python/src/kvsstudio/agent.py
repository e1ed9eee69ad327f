"""The studio side of the agent's protocol: one identified command connection
and the side connections it opens (data port, trace port).

Everything runs in the calling threads: one Agent may be shared by several
threads, which take the command connection one command exchange at a time
while the programs they launched run at once. Every wait is bounded by the
agent's `timeout` (a program run by `run` also by its own time-out).
With an `ssl_context`, every connection runs TLS (see tls.py).
"""

from __future__ import annotations

import getpass
import os
import re
import select
import socket
import ssl
import tempfile
import threading
import time
from contextlib import contextmanager
from collections import deque
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import IO, BinaryIO, Literal, Union, overload
from collections.abc import Iterator as _Iterator

from .errors import AgentClosed, AgentError, AgentTimeout, RunTimeout, TlsError, visible
from .events import Event, is_notification, parse_event, reply_code, to_int
from .quoting import platform_from_os, quote_command
from .tls import TlsSocket, pending, reason, unsent

DEFAULT_PORT = 7011
DEFAULT_TIMEOUT = 10.0
GREETING = "210 hello, please to meet you."
_CHUNK = 64 * 1024
# The longest line taken from the agent, its CR LF included: 1 MiB and room
# for a command word, a code and a path. A longer one ends the connection.
MAX_LINE = 1024 * 1024 + 64 * 1024
# Unread events kept at most (count and bytes of their lines); past either
# bound the oldest are dropped and counted in Agent.events_dropped.
MAX_EVENTS = 10_000
MAX_EVENT_BYTES = 16 * 1024 * 1024
MAX_HELP_LINES = 1000
# How often a thread that waits for its program while another thread holds
# the command connection looks again for the program's end (seconds).
_SHARED_POLL = 0.02
# The variable whose value is one "$": a "$" the caller means literally goes
# as a reference to it, which the agent replaces without scanning again.
DOLLAR_VARIABLE = "KVS_STUDIO_DOLLAR"
DOLLAR = "${" + DOLLAR_VARIABLE + "}"
# Commands whose failure the agent can explain with XWHY.
_EXPLAINED = frozenset({"CWD", "MKD", "RMD", "PWD", "DELF", "PUTF", "GETF", "EXEC", "TRWA"})
_CAUSE = "290 last failure : "
_NUMBER = re.compile(r"-?[0-9]+")

Mode = Literal["binary", "ascii"]
PathLike = Union[str, "os.PathLike[str]"]
# What put() sends: a file path, the bytes themselves, or a binary stream.
Source = Union[PathLike, bytes, bytearray, memoryview, BinaryIO, IO[bytes]]
# What run() gives the program as standard input.
Input = Union[bytes, str, BinaryIO, IO[bytes]]
# A connection to the agent: a socket, or a TLS session on one.
Conn = Union[socket.socket, TlsSocket]


@dataclass(frozen=True)
class Reply:
    """One reply line: its code and the whole line."""

    code: int
    line: str

    @property
    def text(self) -> str:
        """The line after the code and its blank."""
        return self.line[4:]

    @property
    def number(self) -> int | None:
        """The number after the last "%" (ports, process numbers), if any
        and if it fits in 32 bits."""
        at = self.line.rfind("%")
        match = _NUMBER.match(self.line, at + 1) if at >= 0 else None
        return to_int(match.group()) if match else None


@dataclass(frozen=True)
class ProcessStatus:
    """STAT: whether program `number` runs, and its exit status once ended."""

    number: int
    running: bool
    exit_code: int | None


@dataclass(frozen=True)
class Stopped:
    """STOP: `exit_code` is -1 when the program was still running (its end,
    exit status 0, is reported later), else the status it had ended with."""

    number: int
    exit_code: int


@dataclass(frozen=True)
class Result:
    """What `run` returns: the exit status and everything the program wrote
    (standard output and error, as the trace connection carries both)."""

    returncode: int
    output: bytes

    def text(self, encoding: str = "utf-8") -> str:
        return self.output.decode(encoding, errors="replace")


def local_user() -> str:
    """The name of the account running this program."""
    return getpass.getuser()


def ascii_to_wire(local: bytes) -> bytes:
    """ASCII mode: local LF line ends become CR LF on the wire."""
    return local.replace(b"\n", b"\r\n")


class AsciiFromWire:
    """ASCII mode: CR LF from the wire becomes LF; a CR LF pair cut between
    two pieces is still one line end."""

    def __init__(self) -> None:
        self._cr = False

    def feed(self, wire: bytes) -> bytes:
        if self._cr:
            wire = b"\r" + wire
            self._cr = False
        if wire.endswith(b"\r"):
            self._cr = True
            wire = wire[:-1]
        return wire.replace(b"\r\n", b"\n")

    def finish(self) -> bytes:
        held, self._cr = self._cr, False
        return b"\r" if held else b""


def _remote_argument(name: str) -> str:
    """A remote name as a command argument. The agent skips the blanks after
    the command word, so a name that begins with one goes as "./name"."""
    if not name or "\r" in name or "\n" in name or "\0" in name:
        raise ValueError(f"unusable remote file name {name!r}")
    return "./" + name if name[0] in " \t" else name


def _size(event: Event) -> int:
    """What an event holds, as counted against MAX_EVENT_BYTES."""
    return len(event.line) + len(event.text or "")


def _abort(sock: Conn) -> None:
    """Ends a data connection with a reset, so that the agent does not take an
    unfinished stream for a whole file."""
    if isinstance(sock, TlsSocket):
        sock.abort()
        return
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
    except OSError:
        pass
    sock.close()


class Agent:
    """An identified command connection to one agent.

    ``Agent(host, port, user, timeout)`` connects, takes the greeting and
    identifies as `user` (default: the local account). `timeout` bounds every
    wait for the agent: a connection, a reply, the next bytes of a transfer.
    Use it as a context manager or call `close()`.

    With `ssl_context` (an ssl.SSLContext, see `tls_context`), the command
    connection and every data and trace connection run TLS with it, the
    agent's certificate checked for `host`; a TLS failure raises TlsError.

    Unsolicited lines (ended programs, rendezvous, dynamic follow) become
    `Event` objects: read them with `events()` / `next_event()`, or give an
    `on_event` callback, which is called between commands, never in the
    middle of one (it may therefore send commands itself).

    Threads may share one Agent: each command exchange (a reply, a transfer,
    the launch of a program with its environment and directory) holds the
    connection alone, in turn; programs launched by different threads run
    at once, each with a trace connection of its own, and each `run` gets
    its own program's output and exit status. An event goes to whichever
    thread reads it first.
    """

    def __init__(
        self,
        host: str,
        port: int = DEFAULT_PORT,
        user: str | None = None,
        timeout: float = DEFAULT_TIMEOUT,
        *,
        platform: str = "auto",
        encoding: str = "utf-8",
        on_event: Callable[[Event], None] | None = None,
        connect: bool = True,
        ssl_context: ssl.SSLContext | None = None,
    ) -> None:
        self.host = host
        self.port = port
        self.user = user
        self.timeout = timeout
        # The agent's platform chooses how run() quotes a program's words:
        # "posix", "windows", or "auto" (asked with GENV OS at the first
        # program launched from a sequence of words).
        self.platform = platform
        self.encoding = encoding
        self.on_event = on_event
        self.ssl_context = ssl_context
        self._sock: Conn | None = None
        self._buf = bytearray()
        self._eof = False
        self._events: deque[Event] = deque()
        self._event_bytes = 0
        self.events_dropped = 0  # unread events dropped past MAX_EVENTS / MAX_EVENT_BYTES
        self._dollar_set = False
        self._explains = True  # False once the agent answered XWHY as unknown
        self._last_event: Event | None = None
        self._watched: set[int] = set()  # process numbers whose end run() waits for
        self._ended: dict[int, int] = {}
        self._pings = 0
        self._ping_sent = 0.0
        self._last_heard = 0.0
        self._delivering = False
        self._data_port: int | None = None
        self._trace_port: int | None = None
        # A trace connection opened after the latest launch, for the next
        # one: once the agent has a later one, it lets a program's own go
        # when the program ends, and that end of file tells the studio that
        # the output is complete.
        self._spare: Conn | None = None
        self._trace_on = True
        self._mode: Mode = "binary"
        # Held for each command exchange, and by the thread reading the
        # command connection; re-entrant, as a command may need another.
        self._lock = threading.RLock()
        self._queue_lock = threading.RLock()  # the event queue
        self._waiting = 0  # threads waiting for _lock to send a command
        # Written when a thread wants the connection, so that the thread
        # reading it leaves its wait.
        self._wake_r, self._wake_w = socket.socketpair()
        self._wake_r.setblocking(False)
        self._wake_w.setblocking(False)
        if connect:
            try:
                self.connect()
                self.identify(user)
            except BaseException:
                self._drop()
                raise

    # ------------------------------------------------------------ connection

    def __enter__(self) -> Agent:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "open" if self._sock is not None else "closed"
        if self.ssl_context is not None:
            state += " TLS"
        return f"<Agent {self.host}:{self.port} {state}>"

    @property
    def connected(self) -> bool:
        return self._sock is not None

    def connect(self) -> str:
        """Connects and reads the greeting; returns it."""
        if self._sock is not None:
            raise AgentError("already connected")
        try:
            sock = socket.create_connection((self.host, self.port), timeout=self.timeout)
        except socket.timeout:
            raise AgentTimeout(f"cannot connect to {self.host}:{self.port} within {self.timeout:g} s") from None
        except OSError as e:
            raise AgentError(f"cannot connect to {self.host}:{self.port}: {e.strerror or e}") from None
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._sock = self._secure(sock, f"{self.host}:{self.port}")
        self._buf.clear()
        self._eof = False
        self._dollar_set = False
        self._explains = True
        try:
            greeting = self._next_reply(time.monotonic() + self.timeout, "the greeting", first=True)
        except AgentTimeout as e:
            if self.ssl_context is not None:
                raise
            # An agent that speaks TLS waits for our handshake in silence.
            raise AgentTimeout(f"{e} (does the agent want TLS? see ssl_context)") from None
        except AgentClosed as e:
            if self.ssl_context is None:
                raise
            # Over TLS 1.3 the agent judges our certificate after our side of
            # the handshake: a refusal without an alert shows only here.
            raise TlsError(f"TLS with {self.host}:{self.port}: {e} (did it refuse our certificate?)") from None
        if not greeting.startswith("210 "):
            self._drop()
            raise AgentError(f"unexpected greeting: {visible(greeting)}", reply_code(greeting), greeting)
        return greeting

    def identify(self, user: str | None = None) -> Reply:
        """Qim: identifies as `user` (default: the local account). A refusal
        ("533 ...") raises, and the agent ends the connection."""
        name = user or self.user or local_user()
        self.user = name
        reply = self.command("Qim " + name, expect_close_on_failure=True)
        return reply

    def close(self) -> None:
        """QUIT (when the connection still works), then closes everything.
        Programs still running on this connection are ended by the agent."""
        with self._exchange():
            self._close()

    def _close(self) -> None:
        if self._sock is not None and not self._eof:
            try:
                self._send("QUIT")
                deadline = time.monotonic() + self.timeout
                while not self._eof and time.monotonic() < deadline and self._recv(deadline):
                    self._buf.clear()  # nothing more is read from the connection
            except AgentError:
                pass
        self._drop()

    def _drop(self) -> None:
        for s in (self._sock, self._spare):
            if s is not None:
                s.close()
        self._sock = None
        self._spare = None
        self._eof = True

    @contextmanager
    def _exchange(self) -> _Iterator[None]:
        """Holds the command connection for one exchange; a thread that is
        reading it for its program is woken to let go."""
        with self._queue_lock:
            self._waiting += 1
        try:
            self._wake_w.send(b"w")
        except OSError:
            pass  # full: a wake-up is pending anyway
        try:
            self._lock.acquire()
        finally:
            with self._queue_lock:
                self._waiting -= 1
        try:
            yield
        finally:
            self._lock.release()

    def _read_turn(self, others: list[Conn], writers: list[Conn], wait: float) -> tuple[list, list]:
        """Waits at most `wait` seconds for the command connection or the
        sockets `others` / `writers`. The command connection is read (and
        its lines taken) only when no other thread holds or wants it; else
        the wait is short, so that the caller soon sees what the holder
        read meanwhile. Returns the ready sockets of `others` and `writers`;
        a TLS connection with data decrypted already counts as ready."""
        buffered = [s for s in others if pending(s)]
        if self._waiting == 0 and self._lock.acquire(blocking=False):
            try:
                while (line := self._take_line()) is not None:
                    self._absorb(line)
                sock = self._live()
                if self._eof:
                    return [], []
                if buffered or pending(sock):
                    wait = 0.0
                try:
                    readable, writable, _ = select.select([sock, self._wake_r, *others], writers, [], wait)
                except InterruptedError:
                    return buffered, []
                if self._wake_r in readable:
                    try:
                        while self._wake_r.recv(256):
                            pass
                    except OSError:
                        pass
                if sock in readable or pending(sock):
                    self._recv(None)
                    while (line := self._take_line()) is not None:
                        self._absorb(line)
                return [s for s in others if s in readable or s in buffered], writable
            finally:
                self._lock.release()
        self._live()
        if not others and not writers:
            time.sleep(min(wait, _SHARED_POLL))
            return [], []
        try:
            readable, writable, _ = select.select(others, writers, [], 0.0 if buffered else min(wait, _SHARED_POLL))
        except InterruptedError:
            return buffered, []
        return [s for s in others if s in readable or s in buffered], writable

    def peer_address(self) -> tuple:
        """The address of the agent as the command connection reaches it;
        side connections go to the same address."""
        return self._live().getpeername()

    def _side_connect(self, port: int, secure: bool = True) -> Conn:
        peer = self._live().getpeername()
        address = (peer[0], port) + tuple(peer[2:])
        sock = socket.socket(self._live().family, socket.SOCK_STREAM)
        sock.settimeout(self.timeout)
        try:
            sock.connect(address)
        except socket.timeout:
            sock.close()
            raise AgentTimeout(f"cannot connect to port {port} within {self.timeout:g} s") from None
        except OSError as e:
            sock.close()
            raise AgentError(f"cannot connect to port {port}: {e.strerror or e}") from None
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return self._secure(sock, f"{self.host} port {port}") if secure else sock

    def _secure(self, sock: socket.socket, what: str) -> Conn:
        """`sock` as it is, or under TLS with the Agent's context, its
        handshake done within the time-out."""
        if self.ssl_context is None:
            return sock
        try:
            tls = TlsSocket(sock, self.ssl_context, self.host)
            tls.handshake(time.monotonic() + self.timeout)
        except (OSError, ValueError) as e:
            sock.close()
            raise self._tls_failure(e, what) from None
        return tls

    def _tls_failure(self, error: OSError | ValueError, what: str) -> AgentError:
        """The error for a handshake that failed."""
        if isinstance(error, socket.timeout):
            return AgentTimeout(f"TLS with {what}: no handshake within {self.timeout:g} s")
        if isinstance(error, ssl.SSLEOFError):
            return TlsError(f"TLS with {what}: the agent closed the connection during the handshake")
        if isinstance(error, ssl.SSLError):
            hint = " (does the agent speak TLS on this port?)" if error.reason == "WRONG_VERSION_NUMBER" else ""
            return TlsError(f"TLS with {what}: {reason(error)}{hint}", error.reason)
        return TlsError(f"TLS with {what}: {getattr(error, 'strerror', None) or error}")

    # ------------------------------------------------------------ lines

    def _live(self) -> Conn:
        if self._sock is None:
            raise AgentClosed("the connection is closed")
        return self._sock

    def _send(self, line: str) -> None:
        if "\r\n" in line or "\0" in line:
            raise ValueError("a command line cannot hold CR LF or NUL")
        sock = self._live()
        data = line.encode(self.encoding, errors="surrogateescape") + b"\r\n"
        sock.settimeout(self.timeout)
        try:
            sock.sendall(data)
        except socket.timeout:
            self._drop()
            raise AgentTimeout(f"the agent took nothing for {self.timeout:g} s") from None
        except OSError as e:
            self._drop()
            raise AgentClosed(f"the connection failed: {e.strerror or e}") from None

    def _recv(self, deadline: float | None) -> bool:
        """Receives what arrives before the deadline (None: only what is
        there now); False when nothing came."""
        sock = self._live()
        if not pending(sock):
            wait = 0.0 if deadline is None else max(0.0, deadline - time.monotonic())
            try:
                ready, _, _ = select.select([sock], [], [], wait)
            except InterruptedError:
                return True
            if not ready:
                return False
        try:
            if isinstance(sock, TlsSocket):
                # Part of a record may have come: the rest is waited for
                # like any other bytes.
                got = sock.recv_ready(_CHUNK)
                if got is None:
                    return True
                data = got
            else:
                data = sock.recv(_CHUNK)
        except ssl.SSLEOFError:
            data = b""  # ended without close_notify: the end of the lines all the same
        except ssl.SSLError as e:
            self._drop()
            raise TlsError(f"TLS with {self.host}:{self.port}: {reason(e)}", e.reason) from None
        except OSError:
            data = b""
        if data:
            self._buf += data
            self._last_heard = time.monotonic()
            end = self._buf.rfind(b"\r\n")
            if len(self._buf) - (end + 2 if end >= 0 else 0) > MAX_LINE:
                self._drop()
                raise AgentError(f"the agent sent a line longer than {MAX_LINE} bytes")
        else:
            self._eof = True
        return True

    def _take_line(self) -> str | None:
        at = self._buf.find(b"\r\n")
        if at < 0:
            return None
        line = bytes(self._buf[:at]).decode(self.encoding, errors="surrogateescape")
        del self._buf[: at + 2]
        return line

    def _absorb(self, line: str) -> bool:
        """Takes a line that is not a reply; False when it is one."""
        if is_notification(line):
            self._notify(parse_event(line))
            return True
        if len(line) < 3 or not line[:3].isdigit():
            # The rest of a tester's boot text that held CR LF.
            last = self._last_event
            if line and last is not None and last.code == 700 and len(last.text or "") + len(line) <= MAX_LINE:
                last.text = (last.text or "") + "\r\n" + line
                if self._events and self._events[-1] is last:
                    self._event_bytes += len(line) + 2
            return True
        if self._pings > 0 and line == GREETING:
            self._pings -= 1
            return True
        return False

    def _notify(self, event: Event) -> None:
        if event.kind == "ended":
            kept = []
            for number, code in event.ended:
                if number in self._watched:
                    self._ended[number] = code
                else:
                    kept.append((number, code))
            if not kept:
                return
            event.ended = kept
        with self._queue_lock:
            self._last_event = event
            self._events.append(event)
            self._event_bytes += _size(event)
            while len(self._events) > MAX_EVENTS or (self._event_bytes > MAX_EVENT_BYTES and len(self._events) > 1):
                self._pop_event()
                self.events_dropped += 1

    def _pop_event(self) -> Event:
        with self._queue_lock:
            event = self._events.popleft()
            self._event_bytes -= _size(event)
            return event

    def _take_event(self) -> Event | None:
        with self._queue_lock:
            return self._pop_event() if self._events else None

    def _pump(self) -> None:
        """Handles what has arrived, without waiting."""
        if self._sock is None or self._eof:
            return
        # A bounded number of reads: an agent that never stops sending
        # cannot hold the caller here.
        for _ in range(64):
            if not self._recv(None) or self._eof:
                break
            while (line := self._take_line()) is not None:
                self._absorb(line)
        while (line := self._take_line()) is not None:
            self._absorb(line)

    def _next_reply(self, deadline: float, what: str, first: bool = False) -> str:
        """The next reply line; with `first`, the next line whatever it is
        (the greeting: a service that is not an agent ends the wait)."""
        while True:
            line = self._take_line()
            if line is not None:
                if not first and self._absorb(line):
                    continue
                return line
            if self._eof:
                self._drop()
                raise AgentClosed(f"the agent closed the connection before {what}")
            # The deadline holds however many notifications come meanwhile.
            if time.monotonic() >= deadline or not self._recv(deadline):
                self._drop()
                raise AgentTimeout(f"no reply to {what} within {self.timeout:g} s")

    def _deliver(self) -> None:
        """Hands queued events to the callback, outside any command."""
        if self.on_event is None or self._delivering:
            return
        with self._lock:
            if self._delivering:
                return
            self._delivering = True
            try:
                while self.on_event is not None and (event := self._take_event()) is not None:
                    self.on_event(event)
            finally:
                self._delivering = False

    # ------------------------------------------------------------ commands

    def command(self, line: str, *, expect_close_on_failure: bool = False) -> Reply:
        """Sends one command line and returns its reply. A failure reply
        (codes 4xx and 5xx) raises AgentError with the code and the text."""
        with self._exchange():
            self._send(line)
            word = line.split(" ", 1)[0]
            text = self._next_reply(time.monotonic() + self.timeout, word)
            code = reply_code(text)
            if code is None or code >= 400:
                if expect_close_on_failure:
                    self._drop()
                    raise AgentError(f"{word}: {visible(text)}", code, text)
                raise self._failure(word, code, text)
        self._deliver()
        return Reply(code, text)

    def _failure(self, word: str, code: int | None, text: str) -> AgentError:
        """The error for a failure reply, with its cause when the agent can
        tell it (XWHY, asked once after the failure of a command that
        works on files, directories or programs)."""
        cause = self._ask_cause(word) if code is not None else None
        if cause is None:
            return AgentError(f"{word}: {visible(text)}", code, text)
        call, error, path = cause
        return AgentError(f"{word}: {visible(path or call)}: {visible(error)} ({visible(text)})", code, text,
                          call=call, error=error, path=path)

    def _ask_cause(self, word: str) -> tuple[str, str, str] | None:
        """XWHY: (call, error text, path) of this connection's last failure,
        when it is the failure of `word`. An agent that does not know XWHY
        is not asked again on this connection."""
        if not self._explains or word not in _EXPLAINED or self._sock is None or self._eof:
            return None
        try:
            self._send("XWHY")
            line = self._next_reply(time.monotonic() + self.timeout, "XWHY")
        except AgentError:
            return None  # the failure itself is what the caller hears of
        code = reply_code(line)
        if code == 290 and line.startswith(_CAUSE):
            parts = line[len(_CAUSE):].split(" : ", 3)
            if len(parts) == 4 and parts[0] == word:
                return parts[1], parts[2], parts[3]
            return None
        if code != 291:
            self._explains = False
        return None

    def _exact(self, text: str) -> str:
        """`text` as the agent should take it, without expansion: each "$"
        goes as a reference to a variable whose value is "$" (set once per
        connection, only when some text needs it)."""
        if "$" not in text:
            return text
        self._dollar()
        return text.replace("$", DOLLAR)

    def _dollar(self) -> str:
        if not self._dollar_set:
            # A "$" at the end of the line is followed by no name: it stays.
            self.command(f"SENV {DOLLAR_VARIABLE}=$")
            self._dollar_set = True
        return DOLLAR

    def _path(self, name: str) -> str:
        return self._exact(_remote_argument(name))

    def _quote(self, words: Sequence[str]) -> str:
        platform = self.learn_platform()
        if isinstance(words, str) or not any("$" in w for w in words):
            return quote_command(words, platform)
        return quote_command(words, platform, dollar=self._dollar())

    def send(self, line: str) -> None:
        """Sends a command that has no reply line (RVOK, DFOK, ISND, ...)."""
        with self._exchange():
            self._send(line)
        self._deliver()

    def helo(self) -> Reply:
        """HELO: answered with the greeting; shows that the agent is there."""
        return self.command("HELO")

    ping = helo

    def help(self, command: str | None = None) -> list[str]:
        """HELP: the help line of `command`, or the lines of the command list."""
        if command:
            return [self.command("HELP " + command).line]
        with self._exchange():
            self._send("HELP")
            deadline = time.monotonic() + self.timeout
            lines = []
            while True:
                line = self._next_reply(deadline, "HELP")
                lines.append(line)
                if not line.startswith("1"):
                    break
                if len(lines) >= MAX_HELP_LINES:
                    self._drop()
                    raise AgentError(f"HELP: more than {MAX_HELP_LINES} lines")
        self._deliver()
        return lines

    # environment
    def genv(self, name: str) -> str:
        """GENV: the value of a variable of the connection's environment; a
        variable that is unset or empty raises ("511 getenv failed")."""
        reply = self.command("GENV " + name)
        prefix = "getenv result : " + name + "="
        return reply.text[len(prefix):] if reply.text.startswith(prefix) else reply.text.partition("=")[2]

    def senv(self, name: str, value: str) -> None:
        """SENV: sets a variable; programs launched later inherit it."""
        self.command(f"SENV {name}={value}")

    def denv(self, name: str) -> None:
        """DENV: removes a variable."""
        self.command("DENV " + name)

    # directories and files
    def cwd(self, path: str) -> None:
        """CWD: changes the connection's directory."""
        self.command("CWD " + self._path(path))

    def pwd(self) -> str:
        """PWD: the connection's directory."""
        reply = self.command("PWD")
        return reply.text.split(":", 1)[1] if ":" in reply.text else reply.text

    def mkd(self, path: str) -> None:
        self.command("MKD " + self._path(path))

    def rmd(self, path: str) -> None:
        self.command("RMD " + self._path(path))

    def delf(self, path: str) -> None:
        self.command("DELF " + self._path(path))

    # transfers
    def pftp(self) -> int:
        """PFTP: the data port (asked once, then remembered)."""
        if self._data_port is None:
            self._data_port = self._port("PFTP")
        return self._data_port

    def ftpa(self) -> None:
        """FTPA: ASCII mode for later transfers."""
        self.command("FTPA")
        self._mode = "ascii"

    def ftpb(self) -> None:
        """FTPB: BINARY mode for later transfers."""
        self.command("FTPB")
        self._mode = "binary"

    def _set_mode(self, mode: Mode) -> None:
        if mode not in ("binary", "ascii"):
            raise ValueError(f"unknown transfer mode {mode!r}")
        if mode != self._mode:
            self.ftpa() if mode == "ascii" else self.ftpb()

    def _transfer_reply(self, word: str, sock: Conn | None, local_error: BaseException | None) -> None:
        if sock is None:
            # The agent waits for the data connection without a limit: only
            # the end of the command connection frees it.
            self._drop()
            raise local_error or AgentError(f"{word}: no data connection")
        if local_error is not None:
            _abort(sock)
        elif isinstance(sock, TlsSocket):
            sock.finish(time.monotonic() + self.timeout)
        else:
            sock.close()
        text = self._next_reply(time.monotonic() + self.timeout, word)
        code = reply_code(text)
        if local_error is not None:
            raise local_error
        if code is None or code >= 400:
            raise self._failure(word, code, text)
        self._deliver()

    def put(self, local: Source, remote: str, mode: Mode = "binary") -> int:
        """PUTF: sends `local` (a file path, bytes, or a binary stream) to the
        file `remote` on the agent. In ASCII mode LF line ends travel as
        CR LF. Returns the number of local bytes sent."""
        with self._exchange():
            return self._put(local, remote, mode)

    def _put(self, local: Source, remote: str, mode: Mode) -> int:
        name = self._path(remote)
        self._set_mode(mode)
        port = self.pftp()
        opened: IO[bytes] | None = None
        if isinstance(local, (bytes, bytearray, memoryview)):
            data = bytes(local)
            pieces: Iterable[bytes] = (data[i:i + _CHUNK] for i in range(0, len(data), _CHUNK))
        elif isinstance(local, (str, os.PathLike)):
            opened = open(local, "rb")
            pieces = iter(lambda: opened.read(_CHUNK), b"")  # type: ignore[union-attr]
        else:
            stream = local
            pieces = iter(lambda: stream.read(_CHUNK), b"")
        self._send("PUTF " + name)
        sent = 0
        sock: Conn | None = None
        local_error: BaseException | None = None
        try:
            sock = self._side_connect(port)
            for piece in pieces:
                sent += len(piece)
                try:
                    sock.sendall(ascii_to_wire(piece) if mode == "ascii" else piece)
                except socket.timeout:
                    local_error = AgentTimeout(f"PUTF: the agent took nothing for {self.timeout:g} s")
                    break
                except OSError:
                    break  # the agent stopped reading: its reply says why
        except AgentError as e:
            local_error = e
        except Exception as e:  # reading the local data failed
            local_error = e
        finally:
            if opened is not None:
                opened.close()
        self._transfer_reply("PUTF", sock, local_error)
        return sent

    @overload
    def get(self, remote: str, local: None = None, mode: Mode = "binary") -> bytes: ...

    @overload
    def get(self, remote: str, local: PathLike | BinaryIO | IO[bytes], mode: Mode = "binary") -> None: ...

    def get(self, remote: str, local: PathLike | BinaryIO | IO[bytes] | None = None, mode: Mode = "binary") -> bytes | None:
        """GETF: fetches the file `remote`. Without `local` returns its bytes;
        with a path writes the file (replaced only when the transfer
        succeeded); with a binary stream writes to it. In ASCII mode CR LF
        line ends become LF."""
        with self._exchange():
            return self._get(remote, local, mode)

    def _get(self, remote: str, local: PathLike | BinaryIO | IO[bytes] | None, mode: Mode) -> bytes | None:
        name = self._path(remote)
        self._set_mode(mode)
        port = self.pftp()
        collected = bytearray()
        staged: IO[bytes] | None = None
        target = ""
        if local is None:
            write: Callable[[bytes], object] = collected.extend
        elif isinstance(local, (str, os.PathLike)):
            target = os.fspath(local)
            folder = os.path.dirname(os.path.abspath(target))
            staged = tempfile.NamedTemporaryFile(dir=folder, prefix="." + os.path.basename(target) + ".", delete=False)
            write = staged.write
        else:
            write = local.write
        decoder = AsciiFromWire() if mode == "ascii" else None
        self._send("GETF " + name)
        sock: Conn | None = None
        local_error: BaseException | None = None
        try:
            sock = self._side_connect(port)
            while True:
                try:
                    piece = sock.recv(_CHUNK)
                except socket.timeout:
                    local_error = AgentTimeout(f"GETF: the data stream stalled for {self.timeout:g} s")
                    break
                except ssl.SSLEOFError:
                    local_error = TlsError("GETF: the data connection ended without TLS close_notify: the file may be cut short")
                    break
                except ssl.SSLError as e:
                    local_error = TlsError(f"GETF: TLS on the data connection: {reason(e)}", e.reason)
                    break
                if not piece:
                    break
                write(decoder.feed(piece) if decoder else piece)
            if decoder is not None and local_error is None:
                write(decoder.finish())
        except AgentError as e:
            local_error = e
        except Exception as e:  # writing the local data failed
            local_error = e
        try:
            self._transfer_reply("GETF", sock, local_error)
            if staged is not None:
                staged.close()
                if os.path.exists(target):
                    os.chmod(staged.name, os.stat(target).st_mode & 0o7777)
                else:
                    mask = os.umask(0)
                    os.umask(mask)
                    os.chmod(staged.name, 0o666 & ~mask)
                os.replace(staged.name, target)
                staged = None
        finally:
            if staged is not None:
                staged.close()
                os.unlink(staged.name)
        return bytes(collected) if local is None else None

    # programs
    def port_trace(self) -> int:
        """PORT: the trace port (asked once, then remembered)."""
        if self._trace_port is None:
            self._trace_port = self._port("PORT")
        return self._trace_port

    def trwa(self) -> Conn:
        """Opens a trace connection: connects to the trace port and has the
        agent accept it (TRWA). Programs launched afterwards with trace on use
        it as standard input, output and error. The caller owns the socket
        (with TLS a TlsSocket, which has a socket's recv, send, shutdown and
        close)."""
        port = self.port_trace()
        if self.ssl_context is not None:
            return self._trwa_tls(port)
        sock = self._side_connect(port)
        try:
            self.command("TRWA")
        except BaseException:
            sock.close()
            raise
        return sock

    def _trwa_tls(self, port: int) -> TlsSocket:
        """TRWA over TLS. The agent accepts the trace connection, and runs
        its handshake, only once TRWA has come, and answers after it: the
        handshake goes on while the reply is awaited, and a failure reply
        that comes first ends it."""
        assert self.ssl_context is not None
        what = f"{self.host} port {port}"
        raw = self._side_connect(port, secure=False)
        try:
            tls = TlsSocket(raw, self.ssl_context, self.host)  # type: ignore[arg-type]
        except ValueError as e:
            raw.close()
            raise self._tls_failure(e, what) from None
        with self._exchange():
            try:
                self._send("TRWA")
                deadline = time.monotonic() + self.timeout
                reply: str | None = None
                while reply is None and not tls.handshake_step(deadline):
                    while reply is None and (line := self._take_line()) is not None:
                        if not self._absorb(line):
                            reply = line
                    if reply is not None or self._eof:
                        break
                    left = deadline - time.monotonic()
                    if left <= 0:
                        raise socket.timeout("the TLS handshake did not finish")
                    try:
                        readable, _, _ = select.select([tls, self._live()], [], [], left)
                    except InterruptedError:
                        continue
                    if self._live() in readable:
                        self._recv(None)
            except (OSError, ValueError) as e:
                tls.abort()
                # The agent waits on for a trace connection: only the end of
                # the command connection frees it.
                self._drop()
                raise self._tls_failure(e, what) from None
            except BaseException:
                tls.abort()
                raise
            try:
                if reply is None:
                    reply = self._next_reply(deadline, "TRWA")
                code = reply_code(reply)
                if code is None or code >= 400:
                    raise self._failure("TRWA", code, reply)
            except BaseException:
                tls.abort()
                raise
        self._deliver()
        return tls

    def tron(self) -> None:
        self.command("TRON")
        self._trace_on = True

    def trof(self) -> None:
        self.command("TROF")
        self._trace_on = False

    def exec(self, command: str | Sequence[str]) -> int:
        """EXEC: launches a command line (a string, sent as it is) or a
        program with its arguments (a sequence, quoted for the agent's
        platform); returns the process number."""
        line = command if isinstance(command, str) else self._quote(command)
        reply = self.command("EXEC " + line)
        number = reply.number
        if number is None or number < 1:
            self._drop()
            raise AgentError(f"EXEC: no process number in {visible(reply.line)!r}", reply.code, reply.line)
        return number

    def _port(self, word: str) -> int:
        """The port a PORT, PFTP, PRDV or PDYN reply gives (1-65535)."""
        reply = self.command(word)
        number = reply.number
        if number is None or not 1 <= number <= 65535:
            raise AgentError(f"{word}: no port in {visible(reply.line)!r}", reply.code, reply.line)
        return number

    def _exit_code(self, word: str, reply: Reply) -> int:
        """The "(%N)" at the end of a STAT or STOP reply."""
        head, at, tail = reply.line.rpartition("(%")
        code = to_int(tail[:-1]) if at and tail.endswith(")") else None
        if code is None:
            raise AgentError(f"{word}: no exit status in {visible(reply.line)!r}", reply.code, reply.line)
        return code

    def learn_platform(self) -> str:
        """The agent's platform, "posix" or "windows". With platform="auto"
        it is asked once per connection: GENV OS "Windows_NT" is Windows; a
        refusal or any other value is POSIX."""
        if self.platform == "auto":
            try:
                os_value: str | None = self.genv("OS")
            except (AgentTimeout, AgentClosed):
                raise
            except AgentError:
                os_value = None
            self.platform = platform_from_os(os_value)
        return self.platform

    def stat(self, number: int) -> ProcessStatus:
        """STAT: whether a program runs, or its exit status."""
        reply = self.command(f"STAT {number}")
        if reply.code == 264:
            return ProcessStatus(number, True, None)
        if reply.code != 263:
            raise AgentError(f"STAT: unexpected reply {visible(reply.line)!r}", reply.code, reply.line)
        code = self._exit_code("STAT", reply)
        if number in self._watched:
            self._ended.setdefault(number, code)  # no 661 line follows
        return ProcessStatus(number, False, code)

    def stop(self, number: int) -> Stopped:
        """STOP: terminates a running program."""
        reply = self.command(f"STOP {number}")
        code = self._exit_code("STOP", reply)
        return Stopped(number, code)

    def start(
        self,
        command: str | Sequence[str],
        *,
        cwd: str | None = None,
        env: dict[str, str] | None = None,
        stdin: Input | None = None,
        timeout: float | None = None,
        on_output: Callable[[bytes], None] | None = None,
        keep_output: bool = True,
    ) -> Process:
        """Launches a program with its output brought back; iterate over the
        returned Process for its output chunks, or call its wait(). See run."""
        with self._exchange():
            return self._start(command, cwd, env, stdin, timeout, on_output, keep_output)

    def _start(
        self,
        command: str | Sequence[str],
        cwd: str | None,
        env: dict[str, str] | None,
        stdin: Input | None,
        timeout: float | None,
        on_output: Callable[[bytes], None] | None,
        keep_output: bool,
    ) -> Process:
        # Quoted before anything is changed, and before env can change OS.
        line = command if isinstance(command, str) else self._quote(command)
        self._pump()
        data: bytes | None
        if stdin is None:
            data = None
        elif isinstance(stdin, str):
            data = stdin.encode(self.encoding)
        elif isinstance(stdin, (bytes, bytearray, memoryview)):
            data = bytes(stdin)
        else:
            data = stdin.read()
        # Each program has a trace connection of its own: its output and
        # input are its own even while other programs run.
        trace, self._spare = self._spare, None
        if trace is None:
            trace = self.trwa()
        try:
            if not self._trace_on:
                self.tron()
            restore: list[tuple[str, str | None]] = []
            old_dir: str | None = None
            try:
                for name, value in (env or {}).items():
                    try:
                        previous: str | None = self.genv(name)
                    except AgentError as e:
                        if e.code != 511:
                            raise
                        previous = None
                    self.senv(name, value)
                    restore.append((name, previous))
                if cwd is not None:
                    old_dir = self.pwd()
                    self.cwd(cwd)
                number = self.exec(line)
                # Watched before the environment is restored: a program that
                # ends at once is reported while those replies are awaited.
                self._watched.add(number)
            finally:
                # The program has inherited them: the connection gets its own back.
                if old_dir is not None:
                    self.cwd(old_dir)
                for name, previous in reversed(restore):
                    if previous is None:
                        self.denv(name)
                    else:
                        self.senv(name, previous)
        except BaseException:
            trace.close()
            raise
        try:
            self._spare = self.trwa()
        except (AgentTimeout, AgentClosed):
            pass  # the program's wait reports the broken connection
        except AgentError:
            pass  # the next launch asks for one again
        trace.setblocking(False)
        return Process(self, number, data, timeout, on_output, keep_output, trace)

    def run(
        self,
        command: str | Sequence[str],
        *,
        cwd: str | None = None,
        env: dict[str, str] | None = None,
        stdin: Input | None = None,
        timeout: float | None = None,
        on_output: Callable[[bytes], None] | None = None,
    ) -> Result:
        """Runs a program to its end, as kvsctl run does: `command` is a
        sequence of words (quoted for the agent) or a command line; `cwd` and
        `env` apply to this program only; `stdin` is its whole input (it reads
        end of file after it, or at once without it); `timeout` (seconds,
        None: no limit) stops it and raises RunTimeout. `on_output` gets each
        output chunk as it arrives."""
        return self.start(command, cwd=cwd, env=env, stdin=stdin, timeout=timeout, on_output=on_output).wait()

    # rendezvous and dynamic follow
    def prdv(self) -> int:
        """PRDV: the rendezvous port (KVS_PORT_RDV of the programs)."""
        return self._port("PRDV")

    def pdyn(self) -> int:
        """PDYN: the dynamic-follow port (KVS_PORT_TSTAGT of the programs)."""
        return self._port("PDYN")

    def release(self, name: str) -> None:
        """RVOK: the testers waiting at rendezvous `name` receive "Ok"."""
        self.send("RVOK " + self._exact(name))

    def refuse(self, name: str) -> None:
        """RVKO: the testers waiting at rendezvous `name` receive "Ko"."""
        self.send("RVKO " + self._exact(name))

    def answer(self, tester: int, ok: bool = True) -> None:
        """DFOK / DFKO: "Ok" or "Ko" to a dynamic-follow tester."""
        self.send(f"{'DFOK' if ok else 'DFKO'} {tester}")

    def isnd(self, tester: int, text: str) -> None:
        """ISND: a text line to a dynamic-follow tester."""
        self.send(f"ISND {tester} {self._exact(text)}")

    def tout(self, tester: int, text: str) -> None:
        """TOUT: a time-out value to a dynamic-follow tester."""
        self.send(f"TOUT {tester} {self._exact(text)}")

    def avai(self, tester: int, text: str) -> None:
        """AVAI: the studio's availability to a dynamic-follow tester."""
        self.send(f"AVAI {tester} {self._exact(text)}")

    # events
    def next_event(self, timeout: float | None = None) -> Event | None:
        """The next unsolicited event, waiting at most `timeout` seconds
        (default: the agent's time-out); None when none came."""
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        while True:
            event = self._take_event()
            if event is not None:
                return event
            if self._sock is None or self._eof:
                return None
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            try:
                # A reply nobody waits for (a late one) is dropped there.
                self._read_turn([], [], left)
            except AgentClosed:
                return None

    def events(self, timeout: float | None = None) -> Iterator[Event]:
        """The events that arrive within `timeout` seconds (default: the
        agent's time-out) of the previous one; ends when none comes."""
        while True:
            event = self.next_event(timeout)
            if event is None:
                return
            yield event

    def wait_event(self, predicate: Callable[[Event], bool], timeout: float | None = None) -> Event:
        """The first event for which `predicate` holds, within `timeout`
        seconds in all (default: the agent's time-out); events before it are
        kept for later. AgentTimeout when none came."""
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        skipped: list[Event] = []
        try:
            while True:
                left = deadline - time.monotonic()
                event = self.next_event(max(0.0, left)) if left > 0 else None
                if event is None:
                    raise AgentError("no such event in time") if self._sock is not None else AgentClosed("the connection is closed")
                if predicate(event):
                    return event
                skipped.append(event)
        finally:
            with self._queue_lock:
                self._events.extendleft(reversed(skipped))
                self._event_bytes += sum(_size(e) for e in skipped)


class Process:
    """A program launched by `Agent.start`: iterate for its output chunks;
    `wait()` gives the Result. `returncode` is set once it has ended."""

    # After the end of the program, output still arriving within this many
    # seconds of the last byte belongs to it.
    drain_quiet = 0.2

    def __init__(
        self,
        agent: Agent,
        number: int,
        stdin: bytes | None,
        timeout: float | None,
        on_output: Callable[[bytes], None] | None,
        keep_output: bool,
        trace: Conn,
    ) -> None:
        self.agent = agent
        self.number = number
        self.returncode: int | None = None
        self.done = False
        self._trace: Conn | None = trace
        self._input_shut = False
        self._input = memoryview(stdin) if stdin is not None else memoryview(b"")
        self._deadline = None if timeout is None else time.monotonic() + timeout
        self._timeout = timeout
        self._on_output = on_output
        self._keep = keep_output
        self._output = bytearray()
        self._quiet_until = 0.0
        self._stopped = False
        self._trace_eof = False
        agent._last_heard = time.monotonic()
        if not self._input:
            self._shut_input()

    def __iter__(self) -> Iterator[bytes]:
        while True:
            chunk = self._next_chunk()
            if chunk is None:
                return
            yield chunk

    def __del__(self) -> None:
        if self._trace is not None:
            self._trace.close()

    def wait(self) -> Result:
        for _ in self:
            pass
        assert self.returncode is not None
        return Result(self.returncode, bytes(self._output))

    @property
    def output(self) -> bytes:
        return bytes(self._output)

    def _shut_input(self) -> None:
        if self._trace is not None and not self._input_shut:
            try:
                self._trace.shutdown(socket.SHUT_WR)
            except OSError:
                pass
            self._input_shut = True
        self._input = memoryview(b"")

    def _finish(self) -> None:
        self.done = True
        agent = self.agent
        agent._watched.discard(self.number)
        agent._ended.pop(self.number, None)
        if self._trace is not None:
            self._trace.close()
            self._trace = None
        agent._deliver()

    def _end(self, error: AgentError) -> AgentError:
        self.done = True
        if self._trace is not None:
            self._trace.close()
            self._trace = None
        return error

    def _next_chunk(self) -> bytes | None:
        agent = self.agent
        while not self.done:
            now = time.monotonic()
            if self.returncode is None and self.number in agent._ended:
                self.returncode = agent._ended[self.number]
                self._quiet_until = now + self.drain_quiet
                if self._input:
                    self._shut_input()  # nobody reads the rest
            if self.returncode is not None and (now >= self._quiet_until or self._trace_eof):
                self._finish()
                if self._stopped:
                    raise RunTimeout(
                        f"program {self.number} did not end within {self._timeout:g} s and was stopped",
                        self.number,
                        bytes(self._output),
                    )
                return None
            if self.returncode is None and self._deadline is not None and now >= self._deadline and not self._stopped:
                self._stopped = True
                try:
                    agent.stop(self.number)
                except AgentError as e:
                    if e.code is None:
                        raise self._end(e) from None
                self._deadline = now + agent.timeout  # for the end to be reported
                continue
            if self.returncode is None and self._stopped and self._deadline is not None and now >= self._deadline:
                self._finish()
                raise RunTimeout(f"program {self.number} was stopped but its end was not reported", self.number, bytes(self._output))
            # Liveness: after a silence of the time-out a HELO, whose answer
            # must come within as long (shared by the programs of the Agent).
            with agent._queue_lock:
                ping = agent._pings == 0 and now - agent._last_heard >= agent.timeout
                if ping:
                    agent._pings += 1
                    agent._ping_sent = now
            if ping:
                try:
                    with agent._exchange():
                        agent._send("HELO")
                except AgentError as e:
                    raise self._end(e) from None
            if agent._pings > 0 and agent._last_heard < agent._ping_sent and now - agent._ping_sent >= agent.timeout:
                agent._drop()
                raise self._end(AgentTimeout(f"the agent stopped answering (no reply to HELO within {agent.timeout:g} s)"))
            waits = [agent.timeout - (now - (agent._ping_sent if agent._pings else agent._last_heard))]
            if self._deadline is not None:
                waits.append(self._deadline - now)
            if self.returncode is not None:
                waits.append(self._quiet_until - now)
            wait = max(0.0, min(waits))
            trace = self._trace
            readers: list[Conn] = [trace] if trace is not None and not self._trace_eof else []
            # Over TLS the end of the input (close_notify) may wait for room too.
            writers = [trace] if trace is not None and (self._input or unsent(trace)) else []
            try:
                readable, writable = agent._read_turn(readers, writers, wait)
            except AgentClosed as e:
                raise self._end(e) from None
            except AgentError as e:
                raise self._end(e) from None
            if agent._eof:
                agent._drop()
                raise self._end(AgentClosed("the agent closed the connection before the program ended"))
            if isinstance(trace, TlsSocket) and trace in writable and not self._input:
                try:
                    trace.flush()
                except OSError:
                    pass
            if trace is not None and trace in writable and self._input:
                try:
                    n = trace.send(self._input[:_CHUNK])
                    self._input = self._input[n:]
                except (BlockingIOError, InterruptedError):
                    pass
                except OSError:
                    self._input = memoryview(b"")
                if not self._input:
                    self._shut_input()
            if trace is not None and trace in readable:
                try:
                    chunk = trace.recv(_CHUNK)
                except (BlockingIOError, InterruptedError):
                    continue
                except OSError:
                    chunk = b""
                if not chunk:
                    self._trace_eof = True
                    continue
                if self.returncode is not None:
                    self._quiet_until = time.monotonic() + self.drain_quiet
                if self._keep:
                    self._output += chunk
                if self._on_output is not None:
                    self._on_output(chunk)
                return chunk
            agent._deliver()
        return None
