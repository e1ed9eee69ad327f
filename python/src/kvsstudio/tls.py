"""TLS on the agent's connections: the caller's `ssl.SSLContext` over every
socket the library opens (command, data and trace connections).

A `TlsSocket` runs the TLS session through memory BIOs over a non-blocking
socket, so that the library keeps its own waits: what the session has
already decrypted is visible (`pending`, which `select` cannot see), no
read or write waits past the socket's time-out, and the sending side can
end (close_notify) while reading goes on, as a program's input ends before
its output.
"""

from __future__ import annotations

import errno
import os
import select
import socket
import ssl
import time

from .errors import TlsError

_CHUNK = 64 * 1024


def tls_context(ca: str | os.PathLike[str], cert: str | os.PathLike[str] | None = None,
                key: str | os.PathLike[str] | None = None) -> ssl.SSLContext:
    """The usual context for an agent: TLS 1.3 only, the agent's certificate
    verified against the CA file `ca` (PEM) and the host name connected to,
    and the studio's own certificate `cert` with its key `key` (PEM; without
    `key`, the key is read from `cert`) for an agent that asks for one.
    A file that cannot be read or used raises TlsError."""
    if key is not None and cert is None:
        raise ValueError("a TLS key needs its certificate")
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)  # verifies the certificate and the host name
    context.minimum_version = ssl.TLSVersion.TLSv1_3
    context.maximum_version = ssl.TLSVersion.TLSv1_3
    for what, path, load in (
        ("CA file", ca, lambda: context.load_verify_locations(cafile=ca)),
        ("certificate", cert, lambda: context.load_cert_chain(cert, key)),  # type: ignore[arg-type]
    ):
        if path is None:
            continue
        try:
            load()
        except ssl.SSLError as e:
            named = f"{os.fspath(path)}" + (f" / {os.fspath(key)}" if what == "certificate" and key is not None else "")
            raise TlsError(f"TLS: unusable {what} {named}: {reason(e)}") from None
        except OSError as e:
            raise TlsError(f"TLS: cannot read the {what} {e.filename or os.fspath(path)}: {e.strerror or e}") from None
    return context


def reason(error: ssl.SSLError) -> str:
    """OpenSSL's words for a TLS failure, without Python's source position:
    "certificate verify failed: unable to get local issuer certificate"."""
    detail = getattr(error, "verify_message", None)
    text = error.args[1] if len(error.args) > 1 and isinstance(error.args[1], str) else str(error)
    if "] " in text and text.startswith("["):
        text = text.split("] ", 1)[1]
    at = text.rfind(" (_ssl.c:")
    if at >= 0:
        text = text[:at]
    if detail and detail not in text:
        text = f"{text}: {detail}"
    return text


def pending(sock: object) -> bool:
    """Whether `sock` has something to read that `select` does not show."""
    return isinstance(sock, TlsSocket) and sock.pending()


def unsent(sock: object) -> bool:
    """Whether `sock` holds bytes the network has not taken yet."""
    return isinstance(sock, TlsSocket) and sock.unsent()


class TlsSocket:
    """A client TLS session on a connected socket, with the calls of a socket
    the library uses (recv, send, sendall, shutdown, close, settimeout,
    setblocking, fileno for select, getpeername). Time-outs behave as a
    socket's: a call waits at most the time-out, socket.timeout past it, or
    BlockingIOError at once on a non-blocking one. Failures of the session
    raise ssl.SSLError (an OSError); the end of the connection without the
    agent's close_notify raises ssl.SSLEOFError in recv."""

    def __init__(self, sock: socket.socket, context: ssl.SSLContext, server_hostname: str) -> None:
        self._timeout = sock.gettimeout()
        sock.setblocking(False)
        self._sock = sock
        self._in = ssl.MemoryBIO()
        self._out = ssl.MemoryBIO()
        self._tls = context.wrap_bio(self._in, self._out, server_hostname=server_hostname)
        self._unsent = bytearray()
        self._plain = bytearray()  # data decrypted already, set aside by _notify
        # What the incoming BIO holds is not a whole record: select must
        # wait for the socket again.
        self._starved = True
        self._eof = False           # the socket's end of file was seen
        self._closed_by_peer = False  # the agent's close_notify was read
        self._notified = False      # our close_notify is queued

    # -------------------------------------------------------- socket calls

    @property
    def family(self) -> int:
        return self._sock.family

    def fileno(self) -> int:
        return self._sock.fileno()

    def getpeername(self) -> tuple:
        return self._sock.getpeername()

    def setsockopt(self, *args: object) -> None:
        self._sock.setsockopt(*args)  # type: ignore[arg-type]

    def gettimeout(self) -> float | None:
        return self._timeout

    def settimeout(self, value: float | None) -> None:
        self._timeout = value

    def setblocking(self, flag: bool) -> None:
        self._timeout = None if flag else 0.0

    def handshake(self, deadline: float) -> None:
        """Runs the handshake until `deadline` (time.monotonic());
        socket.timeout past it, ssl.SSLError when it fails."""
        while not self.handshake_step(deadline):
            if not self._wait(False, deadline):
                raise socket.timeout("the TLS handshake did not finish")

    def handshake_step(self, deadline: float) -> bool:
        """Goes on with the handshake as far as what has arrived allows,
        without waiting for the agent; True once it is done. What we send
        meanwhile (a few small messages) is sent by `deadline`."""
        while True:
            try:
                self._tls.do_handshake()
            except ssl.SSLWantReadError:
                if not self._flush(deadline, True):
                    raise socket.timeout("the TLS handshake did not finish") from None
                if self._fill(time.monotonic()):
                    continue
                return False
            except ssl.SSLError:
                try:
                    self._flush(time.monotonic(), False)  # the alert, so that the agent logs why
                except OSError:
                    pass
                raise
            if not self._flush(deadline, True):
                raise socket.timeout("the TLS handshake did not finish")
            return True

    def pending(self) -> bool:
        return bool(self._plain) or self._tls.pending() > 0 or (self._in.pending > 0 and not self._starved)

    def unsent(self) -> bool:
        return bool(self._unsent) or self._out.pending > 0

    def recv(self, size: int) -> bytes:
        """Up to `size` bytes of the agent's data; b"" after its close_notify."""
        deadline = self._deadline()
        while True:
            data = self._read(size)
            if data is not None:
                return data
            if not self._fill(deadline):
                self._expired()

    def recv_ready(self, size: int) -> bytes | None:
        """What can be read without waiting: data, b"" at the end, or None
        when no whole record has arrived yet."""
        data = self._read(size)
        if data is None and self._fill(time.monotonic()):
            data = self._read(size)
        return data

    def send(self, data: bytes | bytearray | memoryview) -> int:
        """Takes at most 64 KiB of `data`. Non-blocking: BlockingIOError while
        earlier bytes still wait for the network; the bytes taken may still
        wait (`flush`). With a time-out: they are sent within it."""
        deadline = self._deadline()
        if not self._flush(deadline, self._timeout != 0.0):
            self._expired()
        piece = memoryview(data)[:_CHUNK]
        if piece.nbytes:
            self._tls.write(piece)
        # Taken: without a time-out what the network does not take now waits.
        if not self._flush(deadline, self._timeout != 0.0) and self._timeout != 0.0:
            self._expired()
        return piece.nbytes

    def sendall(self, data: bytes | bytearray | memoryview) -> None:
        deadline = self._deadline()
        view = memoryview(data)
        for at in range(0, max(view.nbytes, 1), _CHUNK):
            if view.nbytes:
                self._tls.write(view[at:at + _CHUNK])
            if not self._flush(deadline, True):
                self._expired()

    def flush(self) -> bool:
        """Sends what the network takes now of the bytes waiting; True when
        none is left."""
        return self._flush(time.monotonic(), False)

    def shutdown(self, how: int) -> None:
        """SHUT_WR ends our sending with close_notify, sent when the network
        takes it (see `flush`); reading goes on."""
        if how in (socket.SHUT_WR, socket.SHUT_RDWR):
            self._notify()
            self._flush(time.monotonic(), False)
        if how in (socket.SHUT_RD, socket.SHUT_RDWR):
            self._sock.shutdown(socket.SHUT_RD)

    def finish(self, deadline: float) -> None:
        """Ends a connection that carried our data: close_notify and the end
        of the stream, then waits until `deadline` for the agent to end its
        side, so that nothing unread turns our close into a reset before
        the agent has read everything; then closes."""
        try:
            self._notify()
            if self._flush(deadline, True):
                self._sock.shutdown(socket.SHUT_WR)
            while not self._eof and not self._closed_by_peer:
                try:
                    if self._read(_CHUNK) is None and not self._fill(deadline):
                        break
                except OSError:
                    break
        except OSError:
            pass
        finally:
            self._sock.close()

    def close(self) -> None:
        """Sends close_notify when the network takes it at once, and closes."""
        if self._sock.fileno() < 0:
            return
        try:
            self._notify()
            self._flush(time.monotonic(), False)
        except OSError:
            pass
        self._sock.close()

    def abort(self) -> None:
        """Closes with a reset and no close_notify: the agent must not take
        what it received for a whole stream."""
        try:
            self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        except OSError:
            pass
        self._sock.close()

    # -------------------------------------------------------- the session

    def _deadline(self) -> float | None:
        return None if self._timeout is None else time.monotonic() + self._timeout

    def _expired(self) -> None:
        if self._timeout == 0.0:
            raise BlockingIOError(errno.EAGAIN, "the TLS connection would block")
        raise socket.timeout("timed out")

    def _wait(self, write: bool, deadline: float | None) -> bool:
        wait = None if deadline is None else max(0.0, deadline - time.monotonic())
        try:
            readable, writable, _ = select.select([] if write else [self._sock], [self._sock] if write else [], [], wait)
        except InterruptedError:
            return True
        return bool(readable or writable)

    def _read(self, size: int) -> bytes | None:
        """A record's data from what has arrived; None when more must arrive."""
        if self._plain:
            data = bytes(self._plain[:size])
            del self._plain[:size]
            return data
        try:
            data = self._tls.read(size)
            if not data:
                self._closed_by_peer = True
        except ssl.SSLWantReadError:
            if self._eof:
                raise ssl.SSLEOFError(ssl.SSL_ERROR_EOF, "EOF occurred in violation of protocol") from None
            self._starved = True
            data = None
        except ssl.SSLZeroReturnError:
            self._closed_by_peer = True
            data = b""
        except ssl.SSLWantWriteError:  # never with memory BIOs; taken as "more to come"
            data = None
        # Reading may have made something to send (a key update's answer).
        try:
            self._flush(time.monotonic(), False)
        except OSError:
            pass
        return data

    def _fill(self, deadline: float | None) -> bool:
        """Moves what the socket has into the session, waiting until
        `deadline` for it; False when nothing came."""
        if self._eof:
            return True
        while True:
            try:
                data = self._sock.recv(_CHUNK)
                break
            except (BlockingIOError, InterruptedError):
                if not self._wait(False, deadline):
                    return False
        if data:
            self._in.write(data)
        else:
            self._eof = True
            self._in.write_eof()
        self._starved = False
        return True

    def _flush(self, deadline: float | None, wait: bool) -> bool:
        """Sends the bytes waiting, waiting (with `wait`) until `deadline`
        for the network to take them; True when none is left."""
        if self._out.pending:
            self._unsent += self._out.read()
        while self._unsent:
            try:
                sent = self._sock.send(self._unsent)
                del self._unsent[:sent]
            except (BlockingIOError, InterruptedError):
                if not wait or not self._wait(True, deadline):
                    return False
        return True

    def _notify(self) -> None:
        """Queues our close_notify. OpenSSL, looking for the agent's one
        after sending it, would drop the data it holds decrypted and fail on
        a data record that has arrived: both are set aside meanwhile, the
        records given back afterwards."""
        if self._notified or self._eof:
            return  # said already, or the agent has gone
        self._notified = True
        try:
            while self._tls.pending() > 0:
                self._plain += self._tls.read(self._tls.pending())
        except ssl.SSLError:
            pass
        held = self._in.read() if self._in.pending else b""
        try:
            self._tls.unwrap()
        except ssl.SSLWantReadError:
            pass
        except ssl.SSLError:
            pass  # a broken session: nothing more to say
        finally:
            if held:
                self._in.write(held)
