# Ansible connection plugin for machines that run the kvsagtd test agent.
from __future__ import annotations

DOCUMENTATION = """
    name: kvsagt
    short_description: run tasks through a kvsagtd test agent
    description:
        - Runs commands and moves files through the command, trace and data
          connections of a kvsagtd agent, with the kvsstudio library.
        - One agent connection serves a host for the whole play. The first
          task starts a keeper process (python -m kvsstudio._keeper) that
          holds it and listens on a Unix socket of mode 0600 in
          O(control_path_dir), taking only the account that started it; later
          tasks hand it their commands and transfers, one exchange each. It
          ends with a C(reset_connection) meta task, after O(persist) idle seconds,
          or when the ansible process that started it has ended.
        - C(raw) and C(script) work on machines that run only the agent; every
          other module needs Python on the target, as with any connection.
        - Standard error is kept apart from standard output by redirecting the
          command's standard error to a temporary file on the target, which
          the same program writes after its output and removes.
        - Pipelining is supported (the module goes to the program's standard
          input over its trace connection) and on by default. Become is not
          supported (the agent runs programs as the account that runs it).
        - With O(tls_ca), every connection to the agent (command, data and
          trace) speaks TLS 1.3, the agent's certificate verified against that
          CA file and the address connected to; O(tls_cert) and O(tls_key) are
          the certificate shown to an agent that asks for one, whose identity
          must then be the user identified as.
    author: kvsagtd developers
    options:
      remote_addr:
        description: Address of the agent.
        default: inventory_hostname
        vars:
          - name: inventory_hostname
          - name: ansible_host
          - name: ansible_kvsagt_host
      port:
        description: TCP port of the agent.
        type: int
        default: 7011
        vars:
          - name: ansible_port
          - name: ansible_kvsagt_port
        env:
          - name: ANSIBLE_KVSAGT_PORT
        ini:
          - section: kvsagt_connection
            key: port
      remote_user:
        description: User to identify as (the agent's authorization file must admit it); default the local account.
        vars:
          - name: ansible_user
          - name: ansible_kvsagt_user
        env:
          - name: ANSIBLE_REMOTE_USER
        ini:
          - section: defaults
            key: remote_user
        keyword:
          - name: remote_user
      timeout:
        description: Seconds to wait for any reply of the agent (a running command is kept alive meanwhile).
        type: float
        default: 30
        vars:
          - name: ansible_kvsagt_timeout
        env:
          - name: ANSIBLE_KVSAGT_TIMEOUT
        ini:
          - section: kvsagt_connection
            key: timeout
      stderr_dir:
        description: Directory on the target for the temporary standard-error files.
        default: /tmp
        vars:
          - name: ansible_kvsagt_stderr_dir
      pipelining:
        description: Feed modules to the interpreter's standard input rather than copy them to the target first.
        type: bool
        default: true
        env:
          - name: ANSIBLE_PIPELINING
          - name: ANSIBLE_KVSAGT_PIPELINING
        ini:
          - section: defaults
            key: pipelining
          - section: kvsagt_connection
            key: pipelining
        vars:
          - name: ansible_pipelining
          - name: ansible_kvsagt_pipelining
      persist:
        description: Seconds the keeper of a host's connection stays without a task before it ends.
        type: float
        default: 60
        vars:
          - name: ansible_kvsagt_persist
        env:
          - name: ANSIBLE_KVSAGT_PERSIST
        ini:
          - section: kvsagt_connection
            key: persist
      tls_ca:
        description: CA file (PEM) the agent's certificate must come from; when set, the agent is spoken to over TLS.
        type: path
        vars:
          - name: ansible_kvsagt_tls_ca
        env:
          - name: KVSAGT_TLS_CA
        ini:
          - section: kvsagt_connection
            key: tls_ca
      tls_cert:
        description: Certificate (PEM) shown to an agent that asks for one (needs O(tls_ca)).
        type: path
        vars:
          - name: ansible_kvsagt_tls_cert
        env:
          - name: KVSAGT_TLS_CERT
        ini:
          - section: kvsagt_connection
            key: tls_cert
      tls_key:
        description: Key (PEM) of O(tls_cert); default, read from the certificate's file.
        type: path
        vars:
          - name: ansible_kvsagt_tls_key
        env:
          - name: KVSAGT_TLS_KEY
        ini:
          - section: kvsagt_connection
            key: tls_key
      control_path_dir:
        description: Directory of the keepers' sockets (made with mode 0700 when missing).
        default: ~/.ansible/cp
        vars:
          - name: ansible_kvsagt_control_path_dir
        env:
          - name: ANSIBLE_KVSAGT_CONTROL_PATH_DIR
        ini:
          - section: kvsagt_connection
            key: control_path_dir
"""

import hashlib
import multiprocessing
import os
import select
import socket
import subprocess
import sys

from ansible.errors import AnsibleConnectionFailure, AnsibleError, AnsibleFileNotFound
from ansible.module_utils._text import to_bytes, to_text
from ansible.plugins.connection import ConnectionBase
from ansible.utils.display import Display

try:
    import kvsstudio
except ImportError:  # used from a source tree: the package lies beside the plugins
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src"))
    import kvsstudio
from kvsstudio import _keeper

display = Display()


def _play_pid():
    """The ansible process that runs the play: tasks run in processes it
    forks, and meta tasks in it."""
    parent = multiprocessing.parent_process()
    return parent.pid if parent is not None else os.getpid()


class Connection(ConnectionBase):
    """Tasks through a kvsagtd agent, one agent connection per host for the
    whole play (held by a keeper process)."""

    transport = "kvsagt"
    has_pipelining = True
    has_tty = False

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self._link = None

    def set_become_plugin(self, plugin):
        if plugin is not None:
            raise AnsibleError("the kvsagt connection does not support become: the agent runs programs as its own account")
        super().set_become_plugin(plugin)

    def _target(self):
        host = self.get_option("remote_addr")
        port = int(self.get_option("port") or kvsstudio.DEFAULT_PORT)
        user = self.get_option("remote_user") or None
        return host, port, user

    def _tls(self):
        """The TLS files (CA, certificate, key) as absolute paths, or None each."""
        files = [self.get_option(name) or None for name in ("tls_ca", "tls_cert", "tls_key")]
        if files[0] is None and (files[1] or files[2]):
            raise AnsibleError("kvsagt: tls_cert and tls_key need tls_ca (ansible_kvsagt_tls_ca, KVSAGT_TLS_CA)")
        if files[2] is not None and files[1] is None:
            raise AnsibleError("kvsagt: tls_key needs tls_cert (ansible_kvsagt_tls_cert, KVSAGT_TLS_CERT)")
        return [os.path.abspath(os.path.expanduser(f)) if f else None for f in files]

    def _keeper_path(self):
        host, port, user = self._target()
        folder = os.path.expanduser(self.get_option("control_path_dir"))
        os.makedirs(folder, mode=0o700, exist_ok=True)
        name = f"{user or kvsstudio.local_user()}@{host}:{port} {_play_pid()}"
        # Another CA or certificate for the same agent is another connection.
        if any(self._tls()):
            name += " tls " + " ".join(f or "-" for f in self._tls())
        return os.path.join(folder, "kvsagt-" + hashlib.sha256(name.encode()).hexdigest()[:20])

    def _reach(self, path):
        """A link to the keeper at `path`, or None when none serves there."""
        link = socket.socket(socket.AF_UNIX)
        try:
            link.connect(path)
        except OSError:
            link.close()
            return None
        owner = _keeper.peer_uid(link)
        if owner is not None and owner != os.getuid():
            link.close()
            raise AnsibleConnectionFailure(f"kvsagt: {path} belongs to another account")
        return link

    def _start_keeper(self, path):
        host, port, user = self._target()
        timeout = float(self.get_option("timeout"))
        command = [sys.executable, "-m", "kvsstudio._keeper", "--socket", path, "--host", host, "--port", str(port),
                   "--timeout", str(timeout), "--persist", str(float(self.get_option("persist"))),
                   "--watch", str(_play_pid()), "--stderr-dir", self.get_option("stderr_dir")]
        if user:
            command += ["--user", user]
        for option, path in zip(("--tls-ca", "--tls-cert", "--tls-key"), self._tls()):
            if path:
                command += [option, path]
        package = os.path.dirname(os.path.dirname(os.path.abspath(kvsstudio.__file__)))
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [package, os.environ.get("PYTHONPATH")])))
        keeper = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                  env=env, start_new_session=True, close_fds=True)
        # Its first line says whether it serves; a connection, a greeting and
        # an identification take at most a few time-outs.
        ready, _, _ = select.select([keeper.stdout], [], [], 3 * timeout + 10)
        line = keeper.stdout.readline().decode(errors="replace").strip() if ready else ""
        keeper.stdout.close()
        if line not in ("ready", "exists"):
            if not line:
                keeper.kill()
            keeper.wait()
            raise AnsibleConnectionFailure(f"kvsagt: {host}:{port}: {line.removeprefix('error: ') or 'the keeper did not start'}")

    def _connect(self):
        if self._link is None:
            host, _, user = self._target()
            path = self._keeper_path()
            link = self._reach(path)
            if link is None:
                display.vvv(f"ESTABLISH KVSAGT CONNECTION FOR USER: {user or kvsstudio.local_user()}", host=host)
                self._start_keeper(path)
                link = self._reach(path)
                if link is None:
                    raise AnsibleConnectionFailure(f"kvsagt: {host}: the keeper does not answer at {path}")
            self._link = link
            self._connected = True
        return self

    def _ask(self, header, data=b""):
        """One exchange with the keeper: its reply header and data."""
        self._connect()
        try:
            _keeper.send_frame(self._link, header, data)
            reply, payload = _keeper.recv_frame(self._link)
        except (OSError, EOFError, ValueError) as e:
            self.close()
            raise AnsibleConnectionFailure(f"kvsagt: the connection keeper went away: {e}") from e
        if not reply.get("ok"):
            if reply.get("closed"):
                self.close()
                raise AnsibleConnectionFailure(f"kvsagt: {reply.get('error')}")
            raise AnsibleError(f"kvsagt: {reply.get('error')}")
        return reply, payload

    def exec_command(self, cmd, in_data=None, sudoable=True):
        super().exec_command(cmd, in_data=in_data, sudoable=sudoable)
        display.vvv(f"EXEC {cmd}", host=self.get_option("remote_addr"))
        data = to_bytes(in_data) if in_data is not None else b""
        header = {"op": "exec", "cmd": to_text(cmd), "stdin": in_data is not None, "size": len(data)}
        try:
            reply, payload = self._ask(header, data)
        except AnsibleConnectionFailure:
            raise
        except AnsibleError as e:
            raise AnsibleConnectionFailure(str(e)) from e
        out = reply["out"]
        return reply["rc"], payload[:out], payload[out:]

    def put_file(self, in_path, out_path):
        super().put_file(in_path, out_path)
        display.vvv(f"PUT {in_path} TO {out_path}", host=self.get_option("remote_addr"))
        if not os.path.exists(to_bytes(in_path, errors="surrogate_or_strict")):
            raise AnsibleFileNotFound(f"file or module does not exist: {in_path}")
        try:
            self._ask({"op": "put", "local": os.path.abspath(to_text(in_path)), "remote": to_text(out_path)})
        except AnsibleConnectionFailure:
            raise
        except AnsibleError as e:
            raise AnsibleError(f"kvsagt: failed to transfer {in_path} to {out_path}: {e}") from e

    def fetch_file(self, in_path, out_path):
        super().fetch_file(in_path, out_path)
        display.vvv(f"FETCH {in_path} TO {out_path}", host=self.get_option("remote_addr"))
        try:
            self._ask({"op": "fetch", "remote": to_text(in_path), "local": os.path.abspath(to_text(out_path))})
        except AnsibleConnectionFailure:
            raise
        except AnsibleError as e:
            raise AnsibleError(f"kvsagt: failed to fetch {in_path} to {out_path}: {e}") from e

    def reset(self):
        """Ends the host's agent connection: the next task opens another."""
        link = self._link or self._reach(self._keeper_path())
        if link is not None:
            self._link = link
            try:
                self._ask({"op": "stop"})
            except AnsibleError:
                pass
        self.close()

    def close(self):
        """Lets go of this task's link; the keeper stays for the next task."""
        if self._link is not None:
            self._link.close()
            self._link = None
        self._connected = False
