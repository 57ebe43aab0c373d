"""Capacity: how many sessions one process carries, sessions x keep-alive
interval, next to the plain Python class taking the same steps (bench/peer.py).

Each case runs in two child processes of its own: a control-connection server
(asyncio; greets, takes any login, answers NOOP and QUIT, records the gap
between each connection's NOOPs and hangs up on a connection idle for twice
the interval, as a server with an idle limit does) and the client, which
opens the sessions, leaves them to their keep-alive for a few intervals and
reports how many are still connected, its resident memory per session and
the share of a core it used.  Both raise RLIMIT_NOFILE to what the case needs.

    python -m bench.capacity serve IDLE_LIMIT
    python -m bench.capacity client KIND PORT SESSIONS INTERVAL SECONDS
"""

import asyncio
import json
import resource
import select
import subprocess
import sys
import time

from bench.common import process_status

CHILD_GRACE = 120  # seconds beyond a case's own length before it counts as hung
OPEN_SECONDS_PER_SESSION = 0.02  # a bound on opening and closing, not a target
FD_MARGIN = 256


def raise_nofile(wanted):
    """Raises the soft limit to `wanted`, and the hard one where it is lower
    (which needs CAP_SYS_RESOURCE); fails with the limit that stands."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft >= wanted:
        return
    try:
        resource.setrlimit(resource.RLIMIT_NOFILE,
                           (wanted, hard if hard == resource.RLIM_INFINITY else max(hard, wanted)))
    except (ValueError, OSError):
        raise SystemExit(f"capacity: {wanted} descriptors wanted, the limit is {hard}") from None


# --- the server --------------------------------------------------------------

def serve(idle_limit):
    gaps, counts = [], {"open": 0, "dropped": 0, "logins": 0}

    async def session(reader, writer):
        counts["open"] += 1
        last = None
        try:
            writer.write(b"220 capacity\r\n")
            while True:
                try:
                    line = await asyncio.wait_for(reader.readline(), idle_limit)
                except asyncio.TimeoutError:
                    counts["dropped"] += 1
                    writer.write(b"421 idle too long\r\n")
                    break
                if not line:
                    break
                command = line.split(b" ", 1)[0].strip().upper()
                if command == b"NOOP":
                    now = time.monotonic()
                    if last is not None:
                        gaps.append(now - last)
                    last = now
                    writer.write(b"200 ok\r\n")
                elif command == b"USER":
                    writer.write(b"331 password\r\n")
                elif command == b"PASS":
                    counts["logins"] += 1
                    last = time.monotonic()
                    writer.write(b"230 in\r\n")
                elif command == b"QUIT":
                    writer.write(b"221 bye\r\n")
                    break
                else:
                    writer.write(b"502 not here\r\n")
                await writer.drain()
        except ConnectionError:
            pass
        finally:
            counts["open"] -= 1
            writer.close()

    async def main():
        server = await asyncio.start_server(session, "127.0.0.1", 0, backlog=4096)
        print("PORT", server.sockets[0].getsockname()[1], flush=True)
        loop = asyncio.get_running_loop()
        while True:  # one request per line on stdin; its end stops the server
            line = await loop.run_in_executor(None, sys.stdin.readline)
            if not line:
                break
            if line.strip() == "reset":
                gaps.clear()
                counts["dropped"] = 0
            print(json.dumps({**counts, "gaps": sorted(gaps)}), flush=True)
        server.close()

    raise_nofile(10_000 + FD_MARGIN)  # the largest case's sessions
    asyncio.run(main())


# --- the client --------------------------------------------------------------

def client(kind, port, count, interval, seconds, control):
    if kind == "ext":
        from Quorvan import CLASS_FTPClient
    else:
        from bench.peer import CLASS_FTPClient
    raise_nofile(count + FD_MARGIN)
    warm = CLASS_FTPClient()
    warm.CUF_Open("127.0.0.1", port, Pmi_KeepAliveInterval=interval)
    warm.CUF_Close()
    rss0, _ = process_status()
    started = time.monotonic()
    sessions = []
    for _ in range(count):
        s = CLASS_FTPClient()
        s.CUF_Open("127.0.0.1", port, Pmi_KeepAliveInterval=interval)
        sessions.append(s)
    opening = time.monotonic() - started
    print("OPEN", flush=True)  # the parent resets the server's gaps: only the window counts
    control.readline()
    rss_samples, thread_samples = [], []
    cpu0, wall0 = time.process_time(), time.monotonic()
    deadline = wall0 + seconds
    while time.monotonic() < deadline:
        time.sleep(min(1.0, max(0.0, deadline - time.monotonic())))
        rss, threads = process_status()
        rss_samples.append(rss)
        thread_samples.append(threads)
    cpu, wall = time.process_time() - cpu0, time.monotonic() - wall0
    alive = sum(1 for s in sessions if s.mb_Connected)
    for s in sessions:
        s.CUF_Close()
    return {"alive": alive, "open_seconds": opening, "cpu": cpu, "wall": wall,
            "rss_kib": (max(rss_samples) - rss0) / count, "threads": max(thread_samples)}


# --- in the benchmark process -------------------------------------------------

def read_line(process, deadline, what):
    """The child's next line, or an error once `deadline` has passed."""
    ready, _, _ = select.select([process.stdout], [], [], max(0.0, deadline - time.monotonic()))
    line = process.stdout.readline() if ready else ""
    if not line:
        raise RuntimeError(f"capacity: no {what} in time")
    return line


def ask(server, request, deadline):
    server.stdin.write(request + "\n")
    server.stdin.flush()
    return json.loads(read_line(server, deadline, f"answer to {request!r} from the server"))

def case(report, kind, count, interval, seconds):
    """One case: `count` sessions of `kind` at `interval`, watched for `seconds`."""
    module = [sys.executable, "-m", "bench.capacity"]
    server = subprocess.Popen([*module, "serve", str(2 * interval)], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    child = None
    deadline = time.monotonic() + CHILD_GRACE
    try:
        port = int(read_line(server, deadline, "port from the server").split()[1])
        child = subprocess.Popen([*module, "client", kind, str(port), str(count), str(interval),
                                  str(seconds)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 text=True)
        bound = seconds + CHILD_GRACE + 2 * OPEN_SECONDS_PER_SESSION * count
        deadline = time.monotonic() + bound
        if read_line(child, deadline, "word from the client").strip() != "OPEN":
            raise RuntimeError(f"capacity client ({kind}, {count}) failed while opening")
        ask(server, "reset", deadline)
        child.stdin.write("go\n")
        child.stdin.flush()
        out, _ = child.communicate(timeout=max(1.0, deadline - time.monotonic()))
        if child.returncode != 0:
            raise RuntimeError(f"capacity client ({kind}, {count}) failed ({child.returncode})")
        result = json.loads(out.strip().splitlines()[-1])
        stats = ask(server, "stats", time.monotonic() + CHILD_GRACE)
    except subprocess.TimeoutExpired:
        raise RuntimeError(f"capacity client ({kind}, {count} x {interval:g} s) did not finish")
    finally:
        for process in (child, server):
            if process is not None and process.poll() is None:
                process.kill()
                process.wait(timeout=10)
    gaps = stats["gaps"]

    def pct(p):
        return gaps[min(len(gaps) - 1, int(p / 100 * len(gaps)))] if gaps else float("nan")

    name = "Quorvan" if kind == "ext" else "Python class"
    report.add("capacity", f"{count} sessions x {interval:g} s, {name}, {result['wall']:.0f} s",
               f"alive {result['alive']} of {count}, dropped by the server {stats['dropped']}; "
               f"RSS {result['rss_kib']:.1f} KiB/session, {result['threads']} threads; "
               f"CPU {result['cpu'] / result['wall']:.2f} core; "
               f"NOOP gap p50 {pct(50):.2f} s p99 {pct(99):.2f} s max {pct(100):.2f} s; "
               f"opened in {result['open_seconds']:.0f} s")
    return result


def parse_cases(text):
    """'1000x30,4000x2' -> [(1000, 30.0), (4000, 2.0)]"""
    cases = []
    for item in text.split(","):
        count, _, interval = item.partition("x")
        cases.append((int(count), float(interval)))
    return cases


def run(report, args):
    for count, interval in parse_cases(args.capacity):
        if count > 10_000:
            raise SystemExit("capacity: at most 10,000 sessions")
        seconds = args.capacity_intervals * interval
        for kind in args.capacity_kinds.split(","):
            print(f"  {count} x {interval:g} s, {kind}: watched for {seconds:g} s, plus opening "
                  f"and closing the sessions", flush=True)
            case(report, kind, count, interval, seconds)


if __name__ == "__main__":
    if sys.argv[1] == "serve":
        serve(float(sys.argv[2]))
    else:
        kind, port, count, interval, seconds = sys.argv[2:7]
        print(json.dumps(client(kind, int(port), int(count), float(interval), float(seconds),
                                sys.stdin)), flush=True)
