# Ansible connection plugin for machines that run the kvsagtd test agent.
from __future__ import annotations

DOCUMENTATION = """
    name: kvsagt
    short_description: run tasks through a kvsagtd test agent
    description:
        - Runs commands and moves files through the command, trace and data
          connections of a kvsagtd agent, with the kvsstudio library.
        - C(raw) and C(script) work on machines that run only the agent; every
          other module needs Python on the target, as with any connection.
        - Standard error is kept apart from standard output by redirecting the
          command's standard error to a temporary file on the target, which is
          fetched and removed afterwards.
        - Pipelining is not supported (the agent gives a program no input
          stream of its own), and neither is become (the agent runs programs
          as the account that runs it).
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
"""

import os
import sys
import uuid

from ansible.errors import AnsibleConnectionFailure, AnsibleError, AnsibleFileNotFound
from ansible.module_utils._text import to_bytes, to_text
from ansible.plugins.connection import ConnectionBase
from ansible.utils.display import Display

try:
    import kvsstudio
except ImportError:  # used from a source tree: the package lies beside the plugins
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src"))
    import kvsstudio

display = Display()


def _sh_quote(text: str) -> str:
    return "'" + text.replace("'", "'\\''") + "'"


class Connection(ConnectionBase):
    """Tasks through a kvsagtd agent."""

    transport = "kvsagt"
    has_pipelining = False
    has_tty = False

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self._agent = None

    def set_become_plugin(self, plugin):
        if plugin is not None:
            raise AnsibleError("the kvsagt connection does not support become: the agent runs programs as its own account")
        super().set_become_plugin(plugin)

    def _connect(self):
        if self._agent is None:
            host = self.get_option("remote_addr")
            port = int(self.get_option("port") or kvsstudio.DEFAULT_PORT)
            user = self.get_option("remote_user") or None
            display.vvv(f"ESTABLISH KVSAGT CONNECTION FOR USER: {user or kvsstudio.local_user()}", host=host)
            try:
                self._agent = kvsstudio.Agent(host, port, user=user, timeout=float(self.get_option("timeout")))
            except kvsstudio.AgentError as e:
                raise AnsibleConnectionFailure(f"kvsagt: {host}:{port}: {e}") from e
            self._connected = True
        return self

    def exec_command(self, cmd, in_data=None, sudoable=True):
        super().exec_command(cmd, in_data=in_data, sudoable=sudoable)
        if in_data is not None:
            raise AnsibleError("the kvsagt connection does not support pipelining")
        agent = self._agent
        errors = f"{self.get_option('stderr_dir').rstrip('/')}/.kvsagt-{uuid.uuid4().hex}.err"
        # The command's standard error goes to a file, so that the trace
        # connection carries only its standard output.
        script = "{ " + to_text(cmd) + "\n} 2>" + _sh_quote(errors)
        display.vvv(f"EXEC {cmd}", host=self.get_option("remote_addr"))
        try:
            result = agent.run(["/bin/sh", "-c", script])
            try:
                stderr = agent.get(errors)
                agent.delf(errors)
            except kvsstudio.AgentError as e:
                if e.code is None:
                    raise
                stderr = b""  # the redirection itself failed: the shell said so on standard output
        except kvsstudio.AgentError as e:
            raise AnsibleConnectionFailure(f"kvsagt: {e}") from e
        return result.returncode, result.output, stderr

    def put_file(self, in_path, out_path):
        super().put_file(in_path, out_path)
        display.vvv(f"PUT {in_path} TO {out_path}", host=self.get_option("remote_addr"))
        if not os.path.exists(to_bytes(in_path, errors="surrogate_or_strict")):
            raise AnsibleFileNotFound(f"file or module does not exist: {in_path}")
        try:
            self._agent.put(in_path, out_path)
        except kvsstudio.AgentError as e:
            raise AnsibleError(f"kvsagt: failed to transfer {in_path} to {out_path}: {e}") from e

    def fetch_file(self, in_path, out_path):
        super().fetch_file(in_path, out_path)
        display.vvv(f"FETCH {in_path} TO {out_path}", host=self.get_option("remote_addr"))
        try:
            self._agent.get(in_path, out_path)
        except kvsstudio.AgentError as e:
            raise AnsibleError(f"kvsagt: failed to fetch {in_path} to {out_path}: {e}") from e

    def reset(self):
        self.close()

    def close(self):
        if self._agent is not None:
            self._agent.close()
            self._agent = None
        self._connected = False
