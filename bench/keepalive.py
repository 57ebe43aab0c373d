"""Keep-alive: the CUF_CheckAlive round trip against raw voidcmd("NOOP"),
the CPU an idle open session costs, and many sessions open at once (threads,
memory per session, the spacing of their NOOPs in the server's log).

The idle and many-session measurements run in child processes of their own
(`python -m bench.keepalive idle|sessions ...`), so their CPU time and
resident memory are theirs alone."""

import ftplib
import json
import subprocess
import sys
import threading
import time

from bench.common import median, paired_ratio, process_status, ratio_spread, rotated

ROUND_TRIP_TARGET = 1.05
ROUND_TRIP_CALLS = 200
KEEP_ALIVE_OFF = 24 * 3600  # no timer NOOP between the measured ones
IDLE_REPLICAS = 5
CHILD_GRACE = 120  # seconds a child may take beyond its own window


# --- in the child processes ----------------------------------------------------

def cpu_seconds():
    return time.process_time()  # every thread of the process, finer than os.times()


def child_idle(mode, port, interval, seconds):
    """One session (or a raw ftplib connection) left idle for `seconds`."""
    import Quorvan

    if mode == "session":
        s = Quorvan.CLASS_FTPClient()
        s.CUF_Open("127.0.0.1", port, Pmi_KeepAliveInterval=interval)
        close = s.CUF_Close
    else:
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", port, timeout=10)
        ftp.login()
        close = ftp.quit
    cpu0, wall0 = cpu_seconds(), time.monotonic()
    time.sleep(seconds)
    cpu = cpu_seconds() - cpu0
    wall = time.monotonic() - wall0
    close()
    return {"cpu": cpu, "wall": wall}


def child_sessions(port, count, interval, seconds):
    """`count` sessions with keep-alive at `interval`, open for `seconds`;
    memory is compared with the same number of raw ftplib connections."""
    import Quorvan

    warm = Quorvan.CLASS_FTPClient()
    warm.CUF_Open("127.0.0.1", port, Pmi_KeepAliveInterval=interval)
    warm.CUF_Close()
    rss0, threads0 = process_status()
    raw = []
    for _ in range(count):
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", port, timeout=10)
        ftp.login()
        raw.append(ftp)
    rss_raw, _ = process_status()
    for ftp in raw:
        ftp.quit()
    del raw
    rss1, _ = process_status()
    sessions = []
    for _ in range(count):
        s = Quorvan.CLASS_FTPClient()
        s.CUF_Open("127.0.0.1", port, Pmi_KeepAliveInterval=interval)
        sessions.append(s)
    opened = time.time()
    thread_samples, alive_samples, rss_samples = [], [], []
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        time.sleep(0.25)
        rss, threads = process_status()
        rss_samples.append(rss)
        thread_samples.append(threads)
        alive_samples.append(threading.active_count())
    closed = time.time()
    for s in sessions:
        s.CUF_Close()
    return {
        "opened": opened, "closed": closed, "threads_before": threads0,
        "threads": thread_samples, "alive": alive_samples,
        "rss_raw_kib": (rss_raw - rss0) / count,
        "rss_session_kib": (max(rss_samples) - rss1) / count,
    }


def child_main(argv):
    kind = argv[0]
    if kind == "idle":
        result = child_idle(argv[1], int(argv[2]), float(argv[3]), float(argv[4]))
    else:
        result = child_sessions(int(argv[1]), int(argv[2]), float(argv[3]), float(argv[4]))
    print(json.dumps(result), flush=True)


# --- in the benchmark process -------------------------------------------------------

def spawn(args):
    return subprocess.Popen([sys.executable, "-m", "bench.keepalive", *map(str, args)],
                            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)


def collect(process, timeout):
    try:
        out, _ = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate(timeout=10)
        raise RuntimeError("a keep-alive child did not finish in time")
    if process.returncode != 0:
        raise RuntimeError(f"a keep-alive child failed ({process.returncode})")
    return json.loads(out.strip().splitlines()[-1])


def round_trip(report, server, rounds):
    import Quorvan

    # Raw ftplib on the session's own connection: a second connection would
    # be served by another server process, placed elsewhere by the
    # scheduler, and loopback round trips differ by 2-3x between placements.
    s = Quorvan.CLASS_FTPClient()
    s.CUF_Open("127.0.0.1", server.port, Pmi_KeepAliveInterval=KEEP_ALIVE_OFF)
    ftp = s.mobj_FTP
    try:
        variants = {"ext": s.CUF_CheckAlive, "raw": lambda: ftp.voidcmd("NOOP")}
        samples = {k: [] for k in variants}
        clock = time.perf_counter_ns
        for r in range(rounds):
            # Call by call, alternating: the latency of loopback round trips
            # jumps with where the scheduler runs the server, and this way
            # both variants meet every jump alike.
            per_call = {k: [] for k in variants}
            order = rotated(list(variants), r)
            for _ in range(ROUND_TRIP_CALLS):
                for key in order:
                    call = variants[key]
                    t0 = clock()
                    call()
                    per_call[key].append(clock() - t0)
                order.reverse()
            for key in variants:
                samples[key].append(median(per_call[key]) / 1e9)
        ext, raw = median(samples["ext"]), median(samples["raw"])
        ratio = paired_ratio(samples["ext"], samples["raw"])
        report.add("keep-alive", f"{server.name} CUF_CheckAlive vs voidcmd('NOOP')",
                   f"ext {ext * 1e6:.0f} us, raw {raw * 1e6:.0f} us",
                   f"ext/raw {ratio:.3f} ({ratio_spread(samples['ext'], samples['raw'])})",
                   f"<= {ROUND_TRIP_TARGET}",
                   ratio <= ROUND_TRIP_TARGET)
    finally:
        s.CUF_Close()


def idle_cpu(report, server, seconds):
    configs = [("session", 30), ("session", 0.1), ("raw", 0)]
    children = [(cfg, spawn(["idle", cfg[0], server.port, cfg[1], seconds]))
                for _ in range(IDLE_REPLICAS) for cfg in configs]
    results = {}
    for cfg, process in children:
        results.setdefault(cfg, []).append(collect(process, seconds + CHILD_GRACE))
    for cfg in configs:
        cpu = median([r["cpu"] for r in results[cfg]])
        wall = median([r["wall"] for r in results[cfg]])
        figures = f"CPU {cpu * 1e3:.1f} ms ({100 * cpu / wall:.3f} % of a core)"
        if cfg[0] == "raw":
            case = "raw ftplib connection, no keep-alive"
        else:
            case = f"session, keep-alive every {cfg[1]:g} s"
            firings = int(wall / cfg[1])
            if firings:
                figures += f", {cpu / firings * 1e3:.2f} ms per firing"
        report.add("keep-alive", f"idle {wall:.0f} s: {case}", figures)


def many_sessions(report, server, count, seconds):
    log = server.server  # pyftpdlib's command log
    mark = log.log_mark()
    result = collect(spawn(["sessions", server.port, count, 1, seconds]),
                     seconds + CHILD_GRACE + count)
    noops = {}
    for e in log.events(mark):
        if e["ev"] == "cmd" and e["cmd"] == "NOOP" and result["opened"] <= e["t"] <= result["closed"]:
            noops.setdefault(e["sid"], []).append(e["t"])
    gaps = sorted(b - a for times in noops.values() for a, b in zip(times, times[1:]))
    if not gaps:
        raise RuntimeError("no NOOP gaps in the server log")

    def pct(p):
        return gaps[min(len(gaps) - 1, int(p / 100 * len(gaps)))]

    threads = median(result["threads"])
    report.add("keep-alive", f"{count} sessions at 1 s, {seconds:.0f} s",
               f"threads {threads:.0f} (before {result['threads_before']}, "
               f"max {max(result['threads'])}), RSS {result['rss_session_kib']:.0f} KiB/session "
               f"(raw ftplib {result['rss_raw_kib']:.0f}), NOOP gap p50 {pct(50) * 1e3:.0f} ms "
               f"p99 {pct(99) * 1e3:.0f} ms max {gaps[-1] * 1e3:.0f} ms "
               f"({len(gaps)} gaps, {len(noops)} sessions)")


def run(report, servers, workdir, args):
    by_name = {s.name: s for s in servers}
    for server in servers:
        round_trip(report, server, args.rounds)
    idle_cpu(report, by_name.get("vsftpd", servers[0]), args.idle_seconds)
    many_sessions(report, by_name["pyftpdlib"], args.sessions, args.sessions_seconds)


if __name__ == "__main__":
    child_main(sys.argv[1:])
