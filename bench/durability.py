"""What durable downloads cost: CUF_DownloadFile flushes its temporary file
to disk before the rename and the folder after it.  Measured next to the
same atomic replacement written in Python (bench/peer.py), with and without
those two fsync calls, on tmpfs and on disk, for a small and a large file.
The data comes from an in-process stand-in connection, so only the local
side is in the figures.  Wall time: waiting for the disk is the cost."""

import os
import shutil
import tempfile
import time

import Quorvan

from bench import peer
from bench.common import median, paired_ratio, ratio_spread, rotated

BLOCK = 64 * 1024
SMALL = 4 * 1024
SMALL_REPEATS = 20  # a small file's download is timed over this many calls
LARGE_LIMIT = 64 * 1024 * 1024


class Feeder:
    """A connection stand-in whose retrbinary hands over `data` from memory."""

    def __init__(self, data):
        self.view = memoryview(data)

    def retrbinary(self, command, callback, blocksize):
        for start in range(0, len(self.view), blocksize):
            callback(self.view[start:start + blocksize])


def file_system(path):
    """The type of the file system holding `path`, from /proc/self/mounts."""
    path = os.path.realpath(path)
    best, kind = "", "unknown"
    try:
        with open("/proc/self/mounts", encoding="utf-8") as f:
            for line in f:
                fields = line.split()
                point = fields[1].replace("\\040", " ")
                inside = path == point or path.startswith(point.rstrip("/") + "/")
                if inside and len(point) >= len(best):
                    best, kind = point, fields[2]
    except OSError:
        pass
    return kind


def places(need_bytes):
    """(label, parent folder) for tmpfs and for a disk file system, those
    this machine has with room."""
    found = []
    for label, candidates in (("tmpfs", ["/dev/shm"]),
                              ("disk", ["/var/tmp", tempfile.gettempdir()])):
        for parent in candidates:
            if not (os.path.isdir(parent) and os.access(parent, os.W_OK)):
                continue
            is_tmpfs = file_system(parent) == "tmpfs"
            if is_tmpfs == (label == "tmpfs") and \
                    shutil.disk_usage(parent).free > 4 * need_bytes:
                found.append((label, parent))
                break
    return found


def sessions(data):
    """The module's session and the Python peer with and without fsync, each
    fed `data`."""
    volatile = peer.AtomicDownload()
    volatile.durable = False
    variants = {"ext": Quorvan.CLASS_FTPClient(), "peer fsync": peer.AtomicDownload(),
                "peer no fsync": volatile}
    for s in variants.values():
        s.mobj_FTP = Feeder(data)
    return variants


def run(report, size, rounds):
    large = min(size, LARGE_LIMIT)
    where = places(large)
    if len(where) < 2:
        report.notes.append("durability: only " + ", ".join(w[0] for w in where) +
                            " available here")
    for label, parent in where:
        with tempfile.TemporaryDirectory(prefix="quorvan-durable-", dir=parent) as folder:
            for size_bytes, repeats in ((SMALL, SMALL_REPEATS), (large, 1)):
                data = os.urandom(size_bytes)
                variants = sessions(data)
                local = os.path.join(folder, "downloaded.bin")
                times = {name: [] for name in variants}
                for r in range(rounds):
                    for name in rotated(list(variants), r):
                        s = variants[name]
                        t0 = time.perf_counter()
                        for _ in range(repeats):
                            s.CUF_DownloadFile("r", local, BLOCK)
                        times[name].append((time.perf_counter() - t0) / repeats)
                        if r == 0:
                            with open(local, "rb") as f:
                                if f.read() != data:
                                    raise RuntimeError(f"durability {label} {name}: wrong bytes")
                ext, synced, unsynced = (times[n] for n in ("ext", "peer fsync", "peer no fsync"))
                cost = median([a - b for a, b in zip(synced, unsynced)])
                what = f"{size_bytes // 1024} KiB" if size_bytes < 1024 * 1024 \
                    else f"{size_bytes // (1024 * 1024)} MiB"
                report.add(
                    "durability", f"{label} ({file_system(parent)}), {what}",
                    f"ext {median(ext) * 1e3:.3f} ms, peer with fsync "
                    f"{median(synced) * 1e3:.3f} ms, without {median(unsynced) * 1e3:.3f} ms",
                    f"fsync cost {cost * 1e3:.3f} ms "
                    f"(x{paired_ratio(synced, unsynced):.2f}); ext/peer with fsync "
                    f"{paired_ratio(ext, synced):.2f} ({ratio_spread(ext, synced)})")
