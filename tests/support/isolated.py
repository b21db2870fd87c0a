"""Runs a snippet of Python in a fresh interpreter, for pack inputs that have been seen to crash the
process: a crash then fails one test instead of ending the whole session."""

import os
import subprocess
import sys
import textwrap


def run_python(source):
    """Runs ``source`` with this process's import path; returns its stdout, stripped. Fails the
    calling test (AssertionError) when the interpreter exits with a non-zero status or a signal."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    proc = subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(source)],
        env=env, capture_output=True, text=True,
    )
    assert proc.returncode == 0, (
        f"interpreter exited with status {proc.returncode}\n--- stdout\n{proc.stdout}\n--- stderr\n{proc.stderr[-4000:]}"
    )
    return proc.stdout.strip()
