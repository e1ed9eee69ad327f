"""Keeps one Agent open for other processes of the same account: the Ansible
connection plugin starts it at the first task of a play and hands it every
later command and transfer for that host through a Unix socket.

    python -m kvsstudio._keeper --socket PATH --host HOST [--port N] [--user U]
        [--timeout SEC] [--persist SEC] [--watch PID] [--stderr-dir DIR]
        [--tls-ca FILE [--tls-cert FILE [--tls-key FILE]]]

It connects, listens on PATH (mode 0600), writes "ready" (or "exists" when
another keeper already serves PATH, or "error: ..." and ends) on standard
output and serves until it has been idle `persist` seconds, process `watch`
has ended, a client asked it to stop, or the agent connection broke. With
--tls-ca the agent connection speaks TLS (kvsstudio.tls_context).

Each exchange is a frame: four bytes (big endian) giving the length of a JSON
header, the header, then `size` bytes of data when the header has a size.
Requests: {"op": "exec", "cmd": ..., "size": N} (N bytes of standard input;
"stdin": false for none), {"op": "put", "local": ..., "remote": ...},
{"op": "fetch", "remote": ..., "local": ...}, {"op": "stop"}. Replies:
{"ok": true, ...} or {"ok": false, "error": ..., "closed": bool}; an exec
reply gives "rc", "out" and "err" and is followed by those many bytes of
standard output and standard error.
"""

from __future__ import annotations

import argparse
import json
import os
import select
import socket
import struct
import sys
import threading
import time
import uuid

from .agent import Agent
from .errors import AgentClosed, AgentError, AgentTimeout
from .tls import tls_context

# The longest header taken from a client; data follow it apart.
MAX_HEADER = 64 * 1024
# Standard input of one command, at most (a module and its arguments).
MAX_INPUT = 256 * 1024 * 1024


def send_frame(sock: socket.socket, header: dict, data: bytes = b"") -> None:
    raw = json.dumps(dict(header, size=len(data))).encode()
    sock.sendall(struct.pack(">I", len(raw)) + raw + data)


def _exact(sock: socket.socket, size: int) -> bytes:
    chunks = []
    while size > 0:
        chunk = sock.recv(min(size, 1 << 20))
        if not chunk:
            raise EOFError("the peer closed the connection")
        chunks.append(chunk)
        size -= len(chunk)
    return b"".join(chunks)


def recv_frame(sock: socket.socket, limit: int = MAX_INPUT) -> tuple[dict, bytes]:
    """A header and the data its "size" announces."""
    (length,) = struct.unpack(">I", _exact(sock, 4))
    if length > MAX_HEADER:
        raise ValueError(f"a header of {length} bytes")
    header = json.loads(_exact(sock, length))
    if not isinstance(header, dict):
        raise ValueError("a header that is not an object")
    size = header.get("size", 0)
    if not isinstance(size, int) or not 0 <= size <= limit:
        raise ValueError(f"unusable size {size!r}")
    return header, _exact(sock, size)


def peer_uid(sock: socket.socket) -> int | None:
    """The account of the process at the other end of a Unix socket, where
    the system tells it."""
    option = getattr(socket, "SO_PEERCRED", None)
    if option is None:
        return None
    _pid, uid, _gid = struct.unpack("3i", sock.getsockopt(socket.SOL_SOCKET, option, struct.calcsize("3i")))
    return uid


def _sh_quote(text: str) -> str:
    return "'" + text.replace("'", "'\\''") + "'"


def split_script(cmd: str, stderr_dir: str) -> tuple[str, bytes]:
    """A shell script that runs `cmd` with its standard error in a file and
    writes that file after a marker line that gives its length, and the
    marker. One program then brings back both streams apart."""
    mark = ("KVSAGT-" + uuid.uuid4().hex).encode()
    errors = _sh_quote(f"{stderr_dir.rstrip('/') or '/'}/.kvsagt-{uuid.uuid4().hex}.err")
    script = (
        # A subshell: an exit in the command ends only the command.
        "( " + cmd + "\n) 2>" + errors + "; s=$?\n"
        f"printf '\\n%s %s\\n' {mark.decode()} \"$(wc -c <{errors})\"; cat {errors}; rm -f {errors}; exit $s"
    )
    return script, mark


def split_output(output: bytes, mark: bytes) -> tuple[bytes, bytes]:
    """Standard output and standard error from what split_script wrote."""
    at = output.rfind(b"\n" + mark + b" ")
    if at < 0:
        return output, b""
    rest = output[at + len(mark) + 2:]
    end = rest.find(b"\n")
    if end < 0:
        return output[:at], b""
    return output[:at], rest[end + 1:]


class Keeper:
    def __init__(self, agent: Agent, listener: socket.socket, path: str, persist: float, watch: int | None,
                 stderr_dir: str) -> None:
        self.agent = agent
        self.listener = listener
        self.path = path
        self.identity = os.stat(path).st_ino
        self.persist = persist
        self.watch = watch
        self.stderr_dir = stderr_dir
        self.lock = threading.Lock()
        self.busy = 0
        self.last_used = time.monotonic()
        self.stopping = False

    def stop(self) -> None:
        """Takes the socket away at once, so that a later task starts a
        keeper of its own rather than reach one that is ending."""
        self.stopping = True
        try:
            if os.stat(self.path).st_ino == self.identity:
                os.unlink(self.path)
        except OSError:
            pass

    def serve(self) -> None:
        while not self.stopping:
            ready, _, _ = select.select([self.listener], [], [], 1.0)
            if ready:
                try:
                    client, _ = self.listener.accept()
                except OSError:
                    continue
                if peer_uid(client) not in (None, os.getuid()):
                    client.close()  # only the account that started the keeper
                    continue
                with self.lock:
                    self.busy += 1
                threading.Thread(target=self.client, args=(client,), daemon=True).start()
                continue
            with self.lock:
                idle = self.busy == 0 and time.monotonic() - self.last_used >= self.persist
            if idle or not self.agent.connected or (self.watch is not None and not _alive(self.watch)):
                break

    def client(self, sock: socket.socket) -> None:
        try:
            with sock:
                while not self.stopping:
                    try:
                        header, data = recv_frame(sock)
                    except (EOFError, OSError, ValueError):
                        return
                    reply, payload = self.handle(header, data)
                    send_frame(sock, reply, payload)
        except OSError:
            pass
        finally:
            with self.lock:
                self.busy -= 1
                self.last_used = time.monotonic()

    def handle(self, header: dict, data: bytes) -> tuple[dict, bytes]:
        op = header.get("op")
        try:
            if op == "exec":
                script, mark = split_script(str(header["cmd"]), self.stderr_dir)
                result = self.agent.run(["/bin/sh", "-c", script], stdin=data if header.get("stdin", True) else None)
                out, err = split_output(result.output, mark)
                return {"ok": True, "rc": result.returncode, "out": len(out), "err": len(err)}, out + err
            if op == "put":
                self.agent.put(str(header["local"]), str(header["remote"]))
                return {"ok": True}, b""
            if op == "fetch":
                self.agent.get(str(header["remote"]), str(header["local"]))
                return {"ok": True}, b""
            if op == "stop":
                self.stop()
                return {"ok": True}, b""
            return {"ok": False, "error": f"unknown request {op!r}", "closed": False}, b""
        except (AgentClosed, AgentTimeout) as e:
            self.stop()
            return {"ok": False, "error": str(e), "closed": True}, b""
        except AgentError as e:
            closed = not self.agent.connected
            if closed:
                self.stop()
            return {"ok": False, "error": str(e), "closed": closed}, b""
        except (OSError, KeyError, ValueError) as e:
            return {"ok": False, "error": str(e), "closed": False}, b""


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def _listen(path: str) -> socket.socket | None:
    """The listening socket at `path`; None when a live keeper holds it."""
    if os.path.exists(path):
        probe = socket.socket(socket.AF_UNIX)
        try:
            probe.connect(path)
            return None
        except OSError:
            os.unlink(path)  # left by a keeper that ended without removing it
        finally:
            probe.close()
    listener = socket.socket(socket.AF_UNIX)
    old = os.umask(0o177)
    try:
        listener.bind(path)
    except OSError:
        listener.close()
        if os.path.exists(path):
            return None  # another keeper started at the same time
        raise
    finally:
        os.umask(old)
    listener.listen(16)
    return listener


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m kvsstudio._keeper")
    parser.add_argument("--socket", required=True)
    parser.add_argument("--host", required=True)
    parser.add_argument("--port", type=int, default=7011)
    parser.add_argument("--user")
    parser.add_argument("--timeout", type=float, default=30.0)
    parser.add_argument("--persist", type=float, default=60.0)
    parser.add_argument("--watch", type=int)
    parser.add_argument("--stderr-dir", default="/tmp")
    parser.add_argument("--tls-ca")
    parser.add_argument("--tls-cert")
    parser.add_argument("--tls-key")
    args = parser.parse_args(argv)
    try:
        if args.tls_ca is None and (args.tls_cert or args.tls_key):
            raise AgentError("a TLS certificate or key needs the TLS CA file")
        context = tls_context(args.tls_ca, args.tls_cert, args.tls_key) if args.tls_ca else None
        agent = Agent(args.host, args.port, user=args.user, timeout=args.timeout, ssl_context=context)
    except (AgentError, ValueError) as e:
        print(f"error: {e}", flush=True)
        return 1
    try:
        listener = _listen(args.socket)
    except OSError as e:
        agent.close()
        print(f"error: cannot listen on {args.socket}: {e.strerror or e}", flush=True)
        return 1
    if listener is None:
        agent.close()
        print("exists", flush=True)
        return 0
    print("ready", flush=True)
    devnull = os.open(os.devnull, os.O_RDWR)
    os.dup2(devnull, 1)
    os.close(devnull)
    keeper = Keeper(agent, listener, args.socket, args.persist, args.watch, args.stderr_dir)
    try:
        keeper.serve()
    finally:
        keeper.stop()
        listener.close()
        agent.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
