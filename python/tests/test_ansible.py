from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import TLS_USER, TOP, Daemon, running_daemon
from kvsstudio import local_user

PLAYBOOK = """
- hosts: agents
  gather_facts: false
  tasks:
    - copy: {{content: "payload\\n", dest: "{remote}/copied.txt"}}
    - copy: {{content: "payload\\n", dest: "{remote}/copied.txt"}}
    - command: sha256sum copied.txt
      args: {{chdir: "{remote}"}}
    - fetch: {{src: "{remote}/copied.txt", dest: "{local}/", flat: true}}
    - fetch: {{src: "{remote}/copied.txt", dest: "{local}/", flat: true}}
    - raw: echo raw-out; echo raw-err >&2
    - script: "{local}/script.sh word"
    - command: ls /nonexistent-kvsagt
      ignore_errors: true
"""


@pytest.mark.skipif(shutil.which("ansible-playbook") is None, reason="ansible-core is not installed")
@pytest.mark.parametrize("tls", [False, True], ids=["plain", "tls"])
def test_playbook_through_the_agent(request: pytest.FixtureRequest, tmp_path: Path, tls: bool) -> None:
    daemon: Daemon = request.getfixturevalue("tls_daemon" if tls else "daemon")
    remote = tmp_path / "remote"
    local = tmp_path / "local"
    errors = tmp_path / "stderr"
    for folder in (remote, local, errors):
        folder.mkdir()
    (local / "script.sh").write_text("#!/bin/sh\necho script \"$1\"\necho script-err >&2\nexit 0\n")
    user, extra, tls_env = local_user(), "", {}
    if daemon.certs is not None:
        # The CA from the environment, the studio's certificate from the inventory.
        user, tls_env = TLS_USER, {"KVSAGT_TLS_CA": str(daemon.certs / "ca.pem")}
        extra = f" ansible_kvsagt_tls_cert={daemon.certs / 'alice.pem'} ansible_kvsagt_tls_key={daemon.certs / 'alice.key'}"
    (tmp_path / "inventory.ini").write_text(
        f"[agents]\nagent ansible_connection=kvsagt ansible_host={daemon.host} ansible_port={daemon.port} "
        f"ansible_user={user} ansible_python_interpreter={sys.executable} ansible_kvsagt_stderr_dir={errors}{extra}\n"
    )
    (tmp_path / "play.yml").write_text(PLAYBOOK.format(remote=remote, local=local))
    env = dict(os.environ, ANSIBLE_CONFIG=str(TOP / "python" / "ansible.cfg"), ANSIBLE_STDOUT_CALLBACK="json",
               ANSIBLE_LOCAL_TEMP=str(tmp_path / "ansible-local"), ANSIBLE_REMOTE_TMP=str(tmp_path / "ansible-remote"),
               ANSIBLE_KVSAGT_CONTROL_PATH_DIR=str(tmp_path / "cp"), ANSIBLE_PIPELINING="False", ANSIBLE_NOCOLOR="1",
               **tls_env)
    done = subprocess.run([sys.executable, shutil.which("ansible-playbook") or "", "-i", str(tmp_path / "inventory.ini"),
                           str(tmp_path / "play.yml")], env=env, capture_output=True, timeout=240)
    assert done.returncode == 0, done.stderr.decode()
    report = json.loads(done.stdout)
    results = [task["hosts"]["agent"] for task in report["plays"][0]["tasks"]]
    assert [(r.get("changed", False), r.get("failed", False)) for r in results] == [
        (True, False), (False, False), (True, False), (True, False), (False, False),
        (True, False), (True, False), (True, True),
    ]
    assert results[2]["stdout"].endswith("copied.txt")
    assert (local / "copied.txt").read_text() == "payload\n"
    assert (results[5]["stdout"], results[5]["stderr"]) == ("raw-out\n", "raw-err\n")
    assert (results[6]["stdout"], results[6]["stderr"]) == ("script word\n", "script-err\n")
    failed = results[7]
    assert failed["rc"] == 2 and "No such file" in failed["stderr"] and failed["stdout"] == ""
    assert report["stats"]["agent"]["failures"] == 0 and report["stats"]["agent"]["ignored"] == 1
    # No standard-error file is left on the target.
    assert list(errors.iterdir()) == []


# Every module the plugin must carry, pipelined, on two hosts at once. The
# raw tasks first and last print the agent's connection process: one
# connection per host serves the whole play.
PIPELINED = """
- hosts: agents
  gather_facts: true
  tasks:
    - raw: echo $PPID
    - command: echo "{{{{ inventory_hostname }}}}"
    - shell: echo out; echo err >&2; exit 3
      ignore_errors: true
    - copy: {{content: "payload {{{{ inventory_hostname }}}}\\n", dest: "{remote}/{{{{ inventory_hostname }}}}.txt"}}
    - template: {{src: "{local}/page.j2", dest: "{remote}/{{{{ inventory_hostname }}}}.page"}}
    - fetch: {{src: "{remote}/{{{{ inventory_hostname }}}}.txt", dest: "{local}/fetched/", flat: true}}
    - file: {{path: "{remote}/{{{{ inventory_hostname }}}}.dir", state: directory, mode: "0750"}}
    - stat: {{path: "{remote}/{{{{ inventory_hostname }}}}.page"}}
    - script: "{local}/script.sh word"
    - raw: echo $PPID
"""


@pytest.mark.skipif(shutil.which("ansible-playbook") is None, reason="ansible-core is not installed")
def test_pipelined_playbook_on_two_agents(daemon: Daemon, tmp_path: Path) -> None:
    remote, local = tmp_path / "remote", tmp_path / "local"
    for folder in (remote, local, local / "fetched"):
        folder.mkdir()
    (local / "script.sh").write_text("#!/bin/sh\necho script \"$1\"\necho script-err >&2\n")
    (local / "page.j2").write_text("host {{ inventory_hostname }} on {{ ansible_facts['system'] }}\n")
    (tmp_path / "second").mkdir()
    with running_daemon(tmp_path / "second") as second:
        hosts = {"one": daemon, "two": second}
        (tmp_path / "inventory.ini").write_text("[agents]\n" + "".join(
            f"{name} ansible_connection=kvsagt ansible_host={d.host} ansible_port={d.port} ansible_user={local_user()} "
            f"ansible_python_interpreter={sys.executable}\n" for name, d in hosts.items()))
        (tmp_path / "play.yml").write_text(PIPELINED.format(remote=remote, local=local))
        env = dict(os.environ, ANSIBLE_CONFIG=str(TOP / "python" / "ansible.cfg"), ANSIBLE_STDOUT_CALLBACK="json",
                   ANSIBLE_LOCAL_TEMP=str(tmp_path / "ansible-local"), ANSIBLE_REMOTE_TMP=str(tmp_path / "ansible-remote"),
                   ANSIBLE_KVSAGT_CONTROL_PATH_DIR=str(tmp_path / "cp"), ANSIBLE_PIPELINING="True",
                   ANSIBLE_NOCOLOR="1")
        # -vvv: the plugin's PUT lines come before the report.
        done = subprocess.run([sys.executable, shutil.which("ansible-playbook") or "", "-vvv", "-i", str(tmp_path / "inventory.ini"),
                               str(tmp_path / "play.yml")], env=env, capture_output=True, timeout=240)
    assert done.returncode == 0, done.stderr.decode() + done.stdout.decode()[-3000:]
    trace, _, rest = done.stdout.partition(b"\n{\n")
    report = json.loads(b"{" + rest)
    tasks = report["plays"][0]["tasks"]
    for name in hosts:
        r = [task["hosts"][name] for task in tasks]
        facts, first, command, shell, copy, template, fetch, folder, stat, script, last = r
        assert facts["ansible_facts"]["ansible_system"] == "Linux"
        assert first["stdout"] == last["stdout"] and first["stdout"].strip().isdigit()
        assert command["stdout"] == name
        assert (shell["rc"], shell["stdout"], shell["stderr"], shell["failed"]) == (3, "out", "err", True)
        assert copy["changed"] and (remote / f"{name}.txt").read_text() == f"payload {name}\n"
        assert template["changed"] and (remote / f"{name}.page").read_text() == f"host {name} on Linux\n"
        assert fetch["changed"] and (local / "fetched" / f"{name}.txt").read_text() == f"payload {name}\n"
        assert folder["changed"] and folder["mode"] == "0750" and (remote / f"{name}.dir").is_dir()
        assert stat["stat"]["exists"] and stat["stat"]["size"] == len(f"host {name} on Linux\n")
        assert (script["stdout"], script["stderr"]) == ("script word\n", "script-err\n")
        assert report["stats"][name]["failures"] == 0 and report["stats"][name]["ignored"] == 1
    assert [t["hosts"]["one"]["stdout"] for t in (tasks[1], tasks[-1])] != [t["hosts"]["two"]["stdout"] for t in (tasks[1], tasks[-1])]
    # Pipelined: files were copied to the targets, but no module.
    puts = [line for line in trace.splitlines() if b"> PUT " in line]
    assert puts and not [line for line in puts if b"AnsiballZ" in line]
