from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import TOP, Daemon
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
def test_playbook_through_the_agent(daemon: Daemon, tmp_path: Path) -> None:
    remote = tmp_path / "remote"
    local = tmp_path / "local"
    errors = tmp_path / "stderr"
    for folder in (remote, local, errors):
        folder.mkdir()
    (local / "script.sh").write_text("#!/bin/sh\necho script \"$1\"\necho script-err >&2\nexit 0\n")
    (tmp_path / "inventory.ini").write_text(
        f"[agents]\nagent ansible_connection=kvsagt ansible_host={daemon.host} ansible_port={daemon.port} "
        f"ansible_user={local_user()} ansible_python_interpreter={sys.executable} ansible_kvsagt_stderr_dir={errors}\n"
    )
    (tmp_path / "play.yml").write_text(PLAYBOOK.format(remote=remote, local=local))
    env = dict(os.environ, ANSIBLE_CONFIG=str(TOP / "python" / "ansible.cfg"), ANSIBLE_STDOUT_CALLBACK="json",
               ANSIBLE_LOCAL_TEMP=str(tmp_path / "ansible-local"), ANSIBLE_REMOTE_TMP=str(tmp_path / "ansible-remote"),
               ANSIBLE_NOCOLOR="1")
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
