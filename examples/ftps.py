"""FTPS with Quorvan: encrypted control and data connections, no change to
the module.

Quorvan creates a session's connection object by calling its module global
FTP each time CUF_Open runs.  Bind a subclass of ftplib.FTP_TLS there that
verifies the server's certificate and, after logging in, switches the data
connections to TLS with prot_p(); every session opened afterwards in this
process speaks FTPS.

    python examples/ftps.py HOST PORT USER PASSWORD [CAFILE]
"""

import ftplib
import ssl
import sys
import tempfile
from pathlib import Path
from typing import List, Optional, Type

import Quorvan


def protected_ftp(context: ssl.SSLContext) -> Type[ftplib.FTP_TLS]:
    """An FTP class for Quorvan.FTP: TLS on the control connection (AUTH TLS,
    sent by FTP_TLS.login before the user name) and on every data connection."""

    class ProtectedFTP(ftplib.FTP_TLS):
        def __init__(self) -> None:  # Quorvan calls FTP() without arguments
            super().__init__(context=context)

        def login(self, user: str = "", passwd: str = "", acct: str = "",
                  secure: bool = True) -> str:
            reply = super().login(user, passwd, acct, secure)
            self.prot_p()  # without it, listings and files would still travel in clear
            return reply

    return ProtectedFTP


def main(argv: List[str]) -> None:
    host, port, user, password = argv[0], int(argv[1]), argv[2], argv[3]
    cafile: Optional[str] = argv[4] if len(argv) > 4 else None
    # The default context verifies the certificate and the host name.
    Quorvan.FTP = protected_ftp(ssl.create_default_context(cafile=cafile))
    session = Quorvan.CLASS_FTPClient()
    session.CUF_Open(host, port, user, password)
    try:
        with tempfile.TemporaryDirectory() as folder:
            local = Path(folder) / "secret.txt"
            local.write_text("only for the server's eyes\n")
            session.CUF_UploadFile(str(local), "secret.txt")
            print("uploaded over TLS:", session.CUF_ListFiles())
            session.CUF_DownloadFile("secret.txt", str(local))
            session.CUF_DeleteFile("secret.txt")
            print("downloaded over TLS:", local.read_text().strip())
    finally:
        session.CUF_Close()
        Quorvan.FTP = ftplib.FTP


if __name__ == "__main__":
    main(sys.argv[1:])
