"""A fake agent on loopback that answers with hostile text, for testing
that studios (kvsctl, kvsstudio) stay bounded and honest against it.

    python3 tests/fake_agent.py SCENARIO

listens on 127.0.0.1 on a free port, writes the port and a newline as its
first line on standard output, and serves every connection with SCENARIO,
each in its own thread. It ends by itself after 120 s, on SIGTERM or
SIGINT, or when its standard input (a pipe or a socket) closes. Imported,
``with fake_agent.serve("flood") as port: ...`` serves in threads of the
caller until the block ends.

Scenarios:
  silent            accepts, never sends anything
  not-agent         sends "SSH-2.0-test" and waits
  greeting-endless  sends "210 " and then bytes without a line end, endlessly
  greeting-escape   the greeting holds terminal controls, C1 and invalid UTF-8
  ident-escape      normal greeting; Qim is refused with such a text (533)
  reply-endless     normal greeting; Qim -> 310; the next command gets "2"
                    and then bytes without a line end, endlessly
  flood             normal greeting; Qim -> 310; every later command gets an
                    endless stream of notification lines (701, 601), never
                    its reply
  malformed         normal greeting; Qim -> 310; each command gets a reply of
                    its code with a malformed or out-of-range number
  malformed-big     as malformed, with other faults (numbers too big for any
                    integer type, negative, letters)
  escape-replies    normal greeting; Qim -> 310; every other command gets a
                    failure reply of its code whose text holds terminal
                    controls, C1 and invalid UTF-8
  failure-cause     normal greeting; Qim -> 310; every other command fails
                    with its code, and XWHY tells the cause of the last
                    failure ("290 last failure : COMMAND : CALL : TEXT :
                    PATH"), or "291 no failure recorded"

In every scenario that takes commands, QUIT gets "221 bye." and the
connection ends, and HELO gets the greeting.
"""

from __future__ import annotations

import contextlib
import os
import select
import signal
import socket
import stat
import sys
import threading
from collections.abc import Callable, Iterator

GREETING = b"210 hello, please to meet you.\r\n"
HOSTILE = b"\x1b]0;owned\x07\x1b[2J\rkvsctl: all good\x9b\xff"
LIFETIME = 120.0
_MAX_LINE = 64 * 1024

# The failure reply of each command, as the real agent words it.
FAILURES = {
    "GENV": b"511 getenv failed",
    "SENV": b"512 setenv failed",
    "DENV": b"513 unsetenv failed",
    "PORT": b"522 INTERNAL ERROR: No trace port",
    "TRWA": b"525 establish trace port failed",
    "PFTP": b"526 INTERNAL ERROR : No ftp port",
    "GETF": b"530 send file failed",
    "PUTF": b"531 receive file failed",
    "DELF": b"532 delete file failed",
    "PRDV": b"540 INTERNAL ERROR : No rdv port",
    "PDYN": b"541 INTERNAL ERROR : No dynf port",
    "CWD": b"551 CWD failed",
    "MKD": b"552 MKD failed",
    "PWD": b"553 PWD failed",
    "RMD": b"554 RMD failed",
    "EXEC": b"561 EXEC process failed",
    "STAT": b"563 STAT failed",
    "STOP": b"564 STOP process failed",
}

MALFORMED = {
    "PORT": b"222 TRACE port : %99999999999",
    "PFTP": b"226 FTP port : %-5",
    "PRDV": b"240 RDV port : %0",
    "PDYN": b"241 DYNF port : %65536",
    "STAT": b"263 process has ended : %",
    "STOP": b"265 child process killed : %",
    "EXEC": b"261 child process launched : %",
    "GENV": b"211 getenv result : ",
    "PWD": b"253 the current directory is :",
}

MALFORMED_BIG = {
    "PORT": b"222 TRACE port : %x",
    "PFTP": b"226 FTP port : %99999999999999999999999999",
    "PRDV": b"240 RDV port : %-1",
    "PDYN": b"241 DYNF port : ",
    "STAT": b"263 process has ended : %1 (%99999999999999999999999999)",
    "STOP": b"265 child process killed : %1 (%x)",
    "EXEC": b"261 child process launched : %-3",
    "GENV": b"211 getenv result : NOEQUALS",
    "PWD": b"253",
}


class _Connection:
    """One accepted connection: line reading and writing, both bounded in
    time so that a stopped server ends its threads."""

    def __init__(self, sock: socket.socket, stopping: threading.Event) -> None:
        self.sock = sock
        self.stopping = stopping
        self.buf = b""
        sock.settimeout(0.5)

    def send(self, data: bytes) -> bool:
        """Sends all of data; False once the peer is gone or the server stops."""
        view = memoryview(data)
        while view:
            if self.stopping.is_set():
                return False
            try:
                n = self.sock.send(view)
            except socket.timeout:
                continue
            except OSError:
                return False
            view = view[n:]
        return True

    def line(self) -> bytes | None:
        """The next line without its end; None when the peer closed."""
        while True:
            at = self.buf.find(b"\n")
            if at >= 0:
                line, self.buf = self.buf[:at], self.buf[at + 1:]
                return line.rstrip(b"\r")
            if len(self.buf) > _MAX_LINE or self.stopping.is_set():
                return None
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                return None
            if not data:
                return None
            self.buf += data

    def endless(self, piece: bytes) -> None:
        """Sends piece again and again until the peer closes."""
        block = piece * max(1, 65536 // len(piece))
        while self.send(block):
            pass

    def hold(self) -> None:
        """Keeps the connection open, reading and dropping what comes, until
        the peer closes."""
        while self.line() is not None:
            pass

    def commands(self, answer: Callable[[str, bytes], bytes | None]) -> None:
        """Normal greeting, Qim -> 310, then each command line to answer(),
        whose result (a line without its end) is sent; None ends."""
        if not self.send(GREETING):
            return
        while (line := self.line()) is not None:
            word, _, argument = line.decode("latin-1").partition(" ")
            if word == "Qim":
                reply: bytes | None = b"310 access authorized."
            elif word == "QUIT":
                self.send(b"221 bye.\r\n")
                return
            elif word == "HELO":
                reply = GREETING.rstrip(b"\r\n")
            else:
                reply = answer(word, argument.encode("latin-1"))
            if reply is None:
                return
            if not self.send(reply + b"\r\n"):
                return


def _unknown(word: str) -> bytes:
    return b"500 command unknown : " + word.encode("latin-1")


def _silent(c: _Connection) -> None:
    c.hold()


def _not_agent(c: _Connection) -> None:
    if c.send(b"SSH-2.0-test\r\n"):
        c.hold()


def _greeting_endless(c: _Connection) -> None:
    if c.send(b"210 "):
        c.endless(b"x")


def _greeting_escape(c: _Connection) -> None:
    if c.send(b"999 " + HOSTILE + b"\r\n"):
        c.hold()


def _ident_escape(c: _Connection) -> None:
    if not c.send(GREETING):
        return
    while (line := c.line()) is not None:
        if line.startswith(b"Qim"):
            c.send(b"533 " + HOSTILE + b"\r\n")
            return


def _reply_endless(c: _Connection) -> None:
    def answer(word: str, argument: bytes) -> bytes | None:
        if c.send(b"2"):
            c.endless(b"y")
        return None

    c.commands(answer)


def _flood(c: _Connection) -> None:
    def answer(word: str, argument: bytes) -> bytes | None:
        c.endless(b"701 line dynfollow : x\r\n601 wait rendezvous : x\r\n")
        return None

    c.commands(answer)


def _table(table: dict[str, bytes]) -> Callable[[_Connection], None]:
    def scenario(c: _Connection) -> None:
        def answer(word: str, argument: bytes) -> bytes | None:
            if word == "GENV" and argument == b"OS":
                return b"211 getenv result : OS=Linux"
            return table.get(word, _unknown(word))

        c.commands(answer)

    return scenario


def _escape_replies(c: _Connection) -> None:
    def answer(word: str, argument: bytes) -> bytes | None:
        return FAILURES.get(word, _unknown(word)) + b" " + HOSTILE + b"\xfe"

    c.commands(answer)


def _failure_cause(c: _Connection) -> None:
    last: list[bytes] = []

    def answer(word: str, argument: bytes) -> bytes | None:
        if word == "XWHY":
            if not last:
                return b"291 no failure recorded"
            return b"290 last failure : " + last[0]
        failure = FAILURES.get(word)
        if failure is None:
            return _unknown(word)
        last[:] = [word.encode() + b" : open : No such file or directory : " + argument]
        return failure

    c.commands(answer)


SCENARIOS: dict[str, Callable[[_Connection], None]] = {
    "silent": _silent,
    "not-agent": _not_agent,
    "greeting-endless": _greeting_endless,
    "greeting-escape": _greeting_escape,
    "ident-escape": _ident_escape,
    "reply-endless": _reply_endless,
    "flood": _flood,
    "malformed": _table(MALFORMED),
    "malformed-big": _table(MALFORMED_BIG),
    "escape-replies": _escape_replies,
    "failure-cause": _failure_cause,
}


def _serve_one(handler: Callable[[_Connection], None], sock: socket.socket, stopping: threading.Event) -> None:
    with sock:
        try:
            handler(_Connection(sock, stopping))
        except OSError:
            pass


@contextlib.contextmanager
def serve(scenario: str) -> Iterator[int]:
    """Serves `scenario` on 127.0.0.1 while the block runs; gives the port."""
    handler = SCENARIOS[scenario]
    stopping = threading.Event()
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    listener.settimeout(0.5)

    def accept_loop() -> None:
        while not stopping.is_set():
            try:
                sock, _ = listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            threading.Thread(target=_serve_one, args=(handler, sock, stopping), daemon=True).start()

    acceptor = threading.Thread(target=accept_loop, daemon=True)
    acceptor.start()
    try:
        yield listener.getsockname()[1]
    finally:
        stopping.set()
        acceptor.join(2)
        listener.close()


def _stdin_watched() -> bool:
    """Whether standard input is a pipe or socket whose end should end us
    (a terminal or /dev/null is not: the time limit alone applies)."""
    try:
        mode = os.fstat(0).st_mode
    except OSError:
        return False
    return stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode)


def main(argv: list[str]) -> int:
    if len(argv) != 2 or argv[1] not in SCENARIOS:
        print(f"usage: {argv[0]} SCENARIO\nscenarios: {' '.join(SCENARIOS)}", file=sys.stderr)
        return 2
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    signal.signal(signal.SIGINT, lambda *_: done.set())
    if _stdin_watched():
        def watch_stdin() -> None:
            while not done.is_set():
                ready, _, _ = select.select([0], [], [], 0.5)
                if ready and not os.read(0, 4096):
                    done.set()

        threading.Thread(target=watch_stdin, daemon=True).start()
    with serve(argv[1]) as port:
        sys.stdout.write(f"{port}\n")
        sys.stdout.flush()
        done.wait(LIFETIME)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
