"""One session shared by worker threads.

Every call holds the session's lock for its one command (a whole transfer
included), so the threads take turns on the one control connection; the
keep-alive NOOP waits its turn the same way.  The working directory is the
session's, shared by all threads: give remote names relative to a directory
no thread changes.

    python examples/worker_threads.py HOST [PORT [USER PASSWORD]]
"""

import hashlib
import os
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import List

import Quorvan


def main(argv: List[str]) -> int:
    host = argv[0]
    port = int(argv[1]) if len(argv) > 1 else 21
    user, password = (argv[2], argv[3]) if len(argv) > 3 else ("", "")

    session = Quorvan.CLASS_FTPClient()
    session.CUF_Open(host, port, user, password)
    try:
        with tempfile.TemporaryDirectory() as folder:

            def round_trip(n: int) -> bool:
                original = Path(folder) / f"part{n}.bin"
                original.write_bytes(os.urandom(100_000 + n))
                session.CUF_UploadFile(str(original), f"part{n}.bin")
                back = Path(folder) / f"back{n}.bin"
                session.CUF_DownloadFile(f"part{n}.bin", str(back))
                session.CUF_DeleteFile(f"part{n}.bin")
                return hashlib.sha256(back.read_bytes()).digest() == \
                    hashlib.sha256(original.read_bytes()).digest()

            with ThreadPoolExecutor(max_workers=4) as pool:
                results = list(pool.map(round_trip, range(8)))
        print(f"{sum(results)} of {len(results)} files came back intact")
        print("still alive:", session.CUF_CheckAlive())
    finally:
        session.CUF_Close()
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
