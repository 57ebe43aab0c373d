"""Instructions per call under callgrind, which counts them the same however
loaded the machine is: every case of the calls benchmark, for the extension
and for the Python class, as the difference between a run of N calls and a
run of none (so start-up and set-up cancel out).  Address randomisation is
off (setarch -R) and the hash seed fixed, so a figure repeats to within a
few instructions.

    scripts/bench-instructions [N] [case ...]     (needs valgrind)
"""

import os
import re
import subprocess
import sys
import tempfile

from bench import calls, peer

import Quorvan


def run_loop(variant, case, n):
    """In the child: set up as calls.run does, then run one loop n times."""
    calls.bind_stand_ins(Quorvan)
    calls.bind_stand_ins(peer)
    local = os.path.join(tempfile.gettempdir(), f"quorvan-instr-{os.getpid()}.bin")
    with open(local, "wb") as f:
        f.write(b"x" * 100)
    try:
        statement = dict((name, call) for name, call, _ in calls.OPERATIONS)[case]
        cls = {"ext": Quorvan.CLASS_FTPClient,
               "class": peer.AtomicDownload if case.endswith("atomic peers")
               else peer.CLASS_FTPClient}[variant]
        s = calls.open_session(cls)
        v = calls.Variant(statement, s=s, cls=cls, lock=calls.threading.Lock(),
                          ftp=calls.StandInFTP(), a="name", b="other", local=local)
        v.per_call_ns(3)  # warm up: the interpreter specialises after a few runs
        if n:
            v.per_call_ns(n)
    finally:
        os.unlink(local)


def count(variant, case, n):
    with tempfile.TemporaryDirectory() as d:
        out = os.path.join(d, "cg.out")
        subprocess.run(
            ["setarch", "-R", "valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
             sys.executable, "-m", "bench.instructions", "--child", variant, case, str(n)],
            check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            env=dict(os.environ, PYTHONHASHSEED="0"))
        with open(out, encoding="utf-8") as f:
            return int(re.search(r"^totals: (\d+)", f.read(), re.M).group(1))


def main(argv):
    if argv[:1] == ["--child"]:
        run_loop(argv[1], argv[2], int(argv[3]))
        return 0
    n = int(argv[0]) if argv and argv[0].isdigit() else 2000
    wanted = [a for a in argv if not a.isdigit()]
    cases = [name for name, _, _ in calls.OPERATIONS if not wanted or name in wanted]
    print(f"{len(cases)} cases, each run four times under callgrind (seconds to a minute a case); "
          f"a row as each case ends", file=sys.stderr, flush=True)
    print(f"python {sys.version.split()[0]}: instructions per call ({n} calls less none)", flush=True)
    for case in cases:
        per = {v: (count(v, case, n) - count(v, case, 0)) / n for v in ("ext", "class")}
        print(f"| {case} | {per['ext']:.0f} | {per['class']:.0f} | "
              f"{per['ext'] / per['class']:.3f} |", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
