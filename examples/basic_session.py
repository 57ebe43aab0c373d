"""A basic session, with the errors a program should expect.

    python examples/basic_session.py HOST [PORT [USER PASSWORD]]
"""

import ftplib
import sys
import tempfile
from pathlib import Path
from typing import List

import Quorvan


def main(argv: List[str]) -> int:
    host = argv[0]
    port = int(argv[1]) if len(argv) > 1 else 21
    user, password = (argv[2], argv[3]) if len(argv) > 3 else ("", "")  # "" logs in anonymously

    session = Quorvan.CLASS_FTPClient()
    try:
        try:
            session.CUF_Open(host, port, user, password, Pmi_Timeout=10, Pmi_KeepAliveInterval=30)
        except RuntimeError as e:
            # Every failure of an open: unknown host, refused connection or
            # login, time-out.  The original exception is e.__context__.
            print(f"cannot open: {e}", file=sys.stderr)
            return 1
        print("working directory:", session.CUF_GetCurrentDir())
        with tempfile.TemporaryDirectory() as folder:
            report = Path(folder) / "report.csv"
            report.write_text("day,count\nmonday,3\n")
            session.CUF_UploadFile(str(report), "report.csv")
            print("exists on the server:", session.CUF_FileExists("report.csv"))
            session.CUF_RenameFile("report.csv", "report-final.csv")
            print("listing:", sorted(session.CUF_ListFiles()))

            copy = Path(folder) / "copy.csv"
            session.CUF_DownloadFile("report-final.csv", str(copy))
            print("downloaded intact:", copy.read_bytes() == report.read_bytes())
            try:
                session.CUF_DownloadFile("missing.csv", str(copy))
            except ftplib.error_perm as e:
                # A refused command (5xx) raises error_perm; the earlier copy
                # is left exactly as it was.
                print("refused:", str(e)[:3], "- copy still intact:",
                      copy.read_bytes() == report.read_bytes())
            session.CUF_DeleteFile("report-final.csv")
    except ftplib.all_errors as e:
        # Anything else from the server or the network: a 4xx reply, a reset
        # connection, a time-out.  The session can be opened again.
        print(f"session failed: {e!r}", file=sys.stderr)
        return 1
    finally:
        # Also ends what a failed open left connected; never raises for a
        # connection that is already gone.
        session.CUF_Close()
    print("closed; connected:", session.CUF_IsConnected())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
