"""Runs every benchmark and prints one table.

    scripts/bench                 the full run (256 MiB files, 60 s idle sessions)
    scripts/bench --quick         a smoke run with short durations and small files
    scripts/bench --only calls    one section (calls, durability, transfers, keepalive, capacity)

Starts its own servers on loopback (vsftpd and the test suite's pyftpdlib
server, each a process of its own, ended by PID) and keeps every file in one
scratch folder: tmpfs (/dev/shm) when there is room, else the system's temp
folder; both sides of a transfer use it.  Every figure is a median of
interleaved rounds; the targets are reported, never enforced (the exit code
is non-zero only when something failed, such as a transfer that delivered
the wrong bytes)."""

import argparse
import os
import shlex
import shutil
import sys
import tempfile
import time

from bench import calls, capacity, durability, keepalive, transfers
from bench.common import Report, format_table, machine_text
from bench.servers import Pyftpdlib, Vsftpd

SECTIONS = ("calls", "durability", "transfers", "keepalive", "capacity")


def scratch_parent(need_bytes, chosen=None):
    if chosen:
        return chosen, f"the folder chosen ({chosen})"
    shm = "/dev/shm"
    if os.path.isdir(shm) and os.access(shm, os.W_OK):
        if shutil.disk_usage(shm).free > need_bytes * 2:
            return shm, "tmpfs (/dev/shm)"
    parent = tempfile.gettempdir()
    return parent, f"disk ({parent})"


def parse_args(argv):
    p = argparse.ArgumentParser(description="Quorvan benchmarks")
    p.add_argument("--quick", action="store_true", help="short smoke run")
    p.add_argument("--only", choices=SECTIONS, action="append", help="run only these sections")
    p.add_argument("--rounds", type=int, help="interleaved rounds (at least 5)")
    p.add_argument("--size-mib", type=int, help="transfer file size in MiB")
    p.add_argument("--idle-seconds", type=float, help="idle-session CPU window")
    p.add_argument("--sessions", type=int, help="sessions open at once")
    p.add_argument("--sessions-seconds", type=float, help="how long they stay open")
    p.add_argument("--capacity", help="capacity cases, SESSIONSxINTERVAL[,...] (at most 10000 "
                   "sessions)")
    p.add_argument("--capacity-kinds", help="ext (the module), peer (the Python class) or both")
    p.add_argument("--capacity-intervals", type=float, help="intervals each capacity case is watched")
    p.add_argument("--scratch", help="keep the files in this folder (default: tmpfs if it "
                   "has room), e.g. one on a disk to see what a download's flush costs")
    p.add_argument("--markdown", help="also write the table to this file")
    args = p.parse_args(argv)
    quick = args.quick
    args.rounds = max(5, args.rounds or (5 if quick else 9))
    args.size_mib = args.size_mib or (16 if quick else 256)
    args.idle_seconds = args.idle_seconds or (5.0 if quick else 60.0)
    args.sessions = args.sessions or (50 if quick else 200)
    args.sessions_seconds = args.sessions_seconds or (5.0 if quick else 30.0)
    args.sample_seconds = 0.01 if quick else 0.03
    args.capacity = args.capacity or ("200x1" if quick else "1000x30,10000x30,4000x2")
    args.capacity_kinds = args.capacity_kinds or ("ext" if quick else "ext,peer")
    args.capacity_intervals = args.capacity_intervals or 2
    args.call_rounds = 3 * args.rounds  # samples are short: more rounds cost little
    return args


class Sections:
    """Names each section before it runs, with roughly how long it takes,
    and says how long it took.  The rough lengths scale the --quick run on
    2 idle cores (calls 16 s, durable downloads 2 s, transfers 4 s) with
    the options."""

    def __init__(self):
        self.started = None

    def begin(self, title, length=""):
        self.end()
        print(f"{title}{f' ({length})' if length else ''}", flush=True)
        self.started = time.monotonic()

    def end(self):
        if self.started is not None:
            print(f"  took {time.monotonic() - self.started:.0f} s", flush=True)
            self.started = None


def about(seconds):
    return f"about {max(5, round(seconds / 5) * 5)} s, more on a busy machine"


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    sections = args.only or list(SECTIONS)
    size = args.size_mib * 1024 * 1024
    parent, where = scratch_parent(4 * size, args.scratch)
    report = Report()
    command = "scripts/bench " + " ".join(shlex.quote(a) for a in sys.argv[1:])
    started = time.time()
    before = machine_text()
    print(f"machine: {before}\nfiles: {where}\n", flush=True)
    sections_run = Sections()
    with tempfile.TemporaryDirectory(prefix="quorvan-bench-", dir=parent) as workdir:
        os.chmod(workdir, 0o755)  # vsftpd's anonymous user must reach its root
        servers = []
        try:
            if "calls" in sections:
                sections_run.begin("call overhead (in-process stand-ins)",
                                   about(110 * args.call_rounds * args.sample_seconds))
                calls.run(report, workdir, args.call_rounds, args.sample_seconds)
            if "durability" in sections:
                sections_run.begin("durable downloads (fsync; tmpfs and disk)",
                                   about(0.025 * args.size_mib * args.rounds))
                durability.run(report, size, args.rounds)
            if "transfers" in sections or "keepalive" in sections:
                if os.geteuid() == 0:
                    servers.append(Vsftpd(workdir).start())
                else:
                    report.notes.append("vsftpd skipped: its anonymous sessions run chrooted "
                                        "as the user ftp, which needs root")
                servers.append(Pyftpdlib(workdir).start())
            if "transfers" in sections:
                sections_run.begin(f"transfers ({args.size_mib} MiB)",
                                   about(0.05 * args.size_mib * args.rounds))
                transfers.run(report, servers, workdir, size, args.rounds)
            if "keepalive" in sections:
                sections_run.begin("keep-alive", f"at least {args.idle_seconds + args.sessions_seconds:g} s")
                keepalive.run(report, servers, workdir, args)
            if "capacity" in sections:
                sections_run.begin("capacity (sessions x interval, a server in another process)")
                capacity.run(report, args)
            sections_run.end()
        finally:
            for server in servers:
                server.stop()
    after = machine_text()
    lines = [
        f"command: {command.strip()}",
        f"python: {sys.version.split()[0]}",
        f"machine at start: {before}",
        f"machine at end: {after}",
        f"local files: {where}; {args.rounds} interleaved rounds per figure "
        f"({args.call_rounds} for calls); "
        f"took {time.time() - started:.0f} s",
        "",
        format_table(report),
    ]
    lines += [f"- {note}" for note in report.notes]
    text = "\n".join(lines)
    print("\n" + text)
    if args.markdown:
        with open(args.markdown, "w", encoding="utf-8") as f:
            f.write(text + "\n")
    met = [r for r in report.rows if r.met is not None]
    print(f"\ntargets met: {sum(r.met for r in met)} of {len(met)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
