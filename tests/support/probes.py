"""What a process holds, for checks that repeated work leaves it as it was:
objects the collector tracks, memory traced by tracemalloc, resident memory,
open file descriptors and threads."""

import gc
import os
import threading
import time
import tracemalloc

PAGE = os.sysconf("SC_PAGE_SIZE")


def fd_count():
    return len(os.listdir("/proc/self/fd"))


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def under_asan():
    """ASan keeps freed memory in quarantine, so resident memory grows."""
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


def traced_bytes(ignore=()):
    """Memory tracemalloc traces, less blocks allocated directly by code in
    the files named in `ignore`."""
    if not tracemalloc.is_tracing():
        return 0
    if not ignore:
        return tracemalloc.get_traced_memory()[0]
    # Compared by hand: tracemalloc's own filters compile patterns and fill
    # caches the first times they run, which would count as growth here.
    snapshot = tracemalloc.take_snapshot()
    return sum(t.size for t in snapshot.traces if t.traceback[0].filename not in ignore)


class Footprint:
    """A snapshot taken after a full collection."""

    def __init__(self, ignore=()):
        gc.collect()
        self.ignore = ignore
        self.objects = len(gc.get_objects())
        self.traced = traced_bytes(ignore)
        self.resident = resident_bytes()
        self.fds = fd_count()
        self.threads = threading.active_count()

    def growth(self, later):
        return {
            "objects": later.objects - self.objects,
            "traced": later.traced - self.traced,
            "resident": later.resident - self.resident,
            "fds": later.fds - self.fds,
            "threads": later.threads - self.threads,
        }


def settle(baseline, timeout=10.0):
    """Waits (bounded) until thread and descriptor counts are back to the
    baseline's, as timer threads and closed sockets wind down; returns a
    new Footprint either way."""
    deadline = time.monotonic() + timeout
    while True:
        now = Footprint(baseline.ignore)
        if (now.threads <= baseline.threads and now.fds <= baseline.fds) or \
                time.monotonic() > deadline:
            return now
        time.sleep(0.02)
