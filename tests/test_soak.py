"""Soak: one session shared by eight threads doing random operations, a
20 ms keep-alive, faults injected by the server and random re-opens and
closes, run in a separate process (tests/support/soak.py).

QUORVAN_SOAK_SECONDS sets the length (default 15); QUORVAN_SOAK_SEED the
seed (default: a new one each run, printed with the figures).
"""

import collections
import json
import os
import random
import subprocess
import sys
from pathlib import Path

import pytest

SOAK = Path(__file__).parent / "support" / "soak.py"
SECONDS = float(os.environ.get("QUORVAN_SOAK_SECONDS", "15"))
BOUND = SECONDS + 150  # the driver's own watchdog fires well before this


@pytest.mark.slow
@pytest.mark.timeout(BOUND + 60)
def test_soak_with_injected_faults(start_server, tmp_path):
    server = start_server()
    seed = int(os.environ.get("QUORVAN_SOAK_SEED", random.randrange(1 << 30)))
    work = tmp_path / "work"
    result = subprocess.run(
        [sys.executable, str(SOAK), server.host, str(server.port), str(server.root),
         str(server.faults_path), str(work), str(SECONDS), str(seed)],
        capture_output=True, text=True, timeout=BOUND)
    fired = collections.Counter(
        e["rule"]["action"] for e in server.events() if e["ev"] == "fault")
    lines = result.stdout.strip().splitlines()
    figures = json.loads(lines[-1]) if lines else {}
    figures["faults_injected"] = dict(fired)
    print("\nsoak figures:", json.dumps(figures, indent=1, sort_keys=True))
    assert result.returncode == 0, result.stderr[-20000:]
    # The run must have exercised what it claims to prove.
    assert figures["files_verified"] > 0
    assert sum(fired.values()) > 0
    assert sum(figures["failures"].values()) > 0
