"""The example programs of examples/ (the README's examples) run as shown
against a real server.  The FTPS example is run by test_ftps.py."""

import subprocess
import sys
from pathlib import Path

from support.server import PASSWORD, USER

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def run_example(name, *args):
    return subprocess.run([sys.executable, str(EXAMPLES / name), *map(str, args)],
                          capture_output=True, text=True, timeout=60)


def test_basic_session(start_server):
    server = start_server()
    result = run_example("basic_session.py", server.host, server.port, USER, PASSWORD)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "working directory: /",
        "exists on the server: True",
        "listing: ['report-final.csv']",
        "downloaded intact: True",
        "refused: 550 - copy still intact: True",
        "closed; connected: False",
    ]
    assert list(server.root.iterdir()) == []

    result = run_example("basic_session.py", server.host, server.port, USER, "wrong")
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr.startswith("cannot open: FTP Open failed: 530 ")


def test_worker_threads(start_server):
    server = start_server()
    result = run_example("worker_threads.py", server.host, server.port, USER, PASSWORD)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["8 of 8 files came back intact", "still alive: True"]
    assert list(server.root.iterdir()) == []
