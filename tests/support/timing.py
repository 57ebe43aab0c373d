"""Bounds on how long the tests wait, for slower machines.

QUORVAN_TIME_SCALE (default 1) multiplies the bounds the tests put on how
long something may take to happen: a join, a wait for the server's log, a
server's start.  It never touches what is under test (a session's time-out,
a keep-alive interval) nor the lower bounds a test asserts.  Code under
emulation (the aarch64 wheels on an x86_64 machine, scripts/ci-arm64) runs
about ten times slower and sets it to 10.
"""

import os

SCALE = float(os.environ.get("QUORVAN_TIME_SCALE", "1"))
if not SCALE >= 1:
    raise ValueError(f"QUORVAN_TIME_SCALE must be 1 or more, not {SCALE}")


def scaled(seconds: float) -> float:
    """A bound of `seconds` on a machine as fast as this one was measured on."""
    return seconds * SCALE
