"""FTPS by the recipe of examples/ftps.py, against a pyftpdlib server that
refuses to log in or to open a data connection without TLS."""

import ftplib
import importlib.util
import os
import ssl
import subprocess
import sys
from pathlib import Path

import pytest

from support.certificates import make_certificates
from support.server import PASSWORD, USER

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "ftps.py"


def load_recipe():
    spec = importlib.util.spec_from_file_location("ftps_example", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture
def ftps(start_server, tmp_path):
    """A TLS-only server and the authority that signed its certificate."""
    ca, server_pem = make_certificates(tmp_path)
    return start_server(tls_cert=server_pem), ca


def trusting(ca):
    return ssl.create_default_context(cafile=str(ca))


def test_transfers_are_encrypted_end_to_end(Quorvan, client, monkeypatch, ftps, tmp_path):
    server, ca = ftps
    monkeypatch.setattr(Quorvan, "FTP", load_recipe().protected_ftp(trusting(ca)))
    assert client.CUF_Open(server.host, server.port, USER, PASSWORD) is True
    assert isinstance(client.mobj_FTP.sock, ssl.SSLSocket)

    sent = os.urandom(300_000) + b"\r\n\n\r\x00"  # line ends must survive: binary mode
    (tmp_path / "up.bin").write_bytes(sent)
    client.CUF_UploadFile(str(tmp_path / "up.bin"), "up.bin", 4096)
    served = os.urandom(200_001)
    (server.root / "down.bin").write_bytes(served)
    client.CUF_DownloadFile("down.bin", str(tmp_path / "down.bin"))
    assert (server.root / "up.bin").read_bytes() == sent
    assert (tmp_path / "down.bin").read_bytes() == served
    assert sorted(client.CUF_ListFiles()) == ["down.bin", "up.bin"]
    assert client.CUF_FileExists("up.bin") is True
    client.CUF_Close()

    commands = [(c[1], c[2]) for c in server.commands()]
    assert commands[:5] == [("AUTH", "TLS"), ("USER", USER), ("PASS", PASSWORD),
                            ("PBSZ", "0"), ("PROT", "P")]
    assert commands[-1] == ("QUIT", "")
    data = [e for e in server.events() if e["ev"] == "data"]
    assert len(data) == 3 and all(e["tls"] for e in data)  # STOR, RETR, NLST


def test_what_the_recipe_guards_against(Quorvan, client, monkeypatch, ftps):
    server, ca = ftps

    # A certificate nobody vouched for: the open fails before a password is sent.
    monkeypatch.setattr(Quorvan, "FTP", load_recipe().protected_ftp(ssl.create_default_context()))
    with pytest.raises(RuntimeError, match="^FTP Open failed: .*certificate verify failed") as info:
        client.CUF_Open(server.host, server.port, USER, PASSWORD)
    assert isinstance(info.value.__context__, ssl.SSLCertVerificationError)
    client.CUF_Close()

    # TLS on the control connection alone: data connections stay in clear,
    # which this server refuses.
    class ControlOnly(ftplib.FTP_TLS):
        def __init__(self):
            super().__init__(context=trusting(ca))

    monkeypatch.setattr(Quorvan, "FTP", ControlOnly)
    assert client.CUF_Open(server.host, server.port, USER, PASSWORD) is True
    with pytest.raises(ftplib.error_perm, match="^550 SSL/TLS required on the data channel"):
        client.CUF_ListFiles()
    # The refusals are followed by the probe that keeps the session in step,
    # over the encrypted control connection as over a plain one.
    assert client.CUF_FileExists("missing") is False
    assert client.CUF_GetCurrentDir() == "/" and client.CUF_IsConnected() is True
    client.CUF_Close()
    assert not any(c[1] == "PASS" and c[0] == 1 for c in server.commands())
    assert [e for e in server.events() if e["ev"] == "data"] == []


def test_example_program(ftps):
    server, ca = ftps
    result = subprocess.run(
        [sys.executable, str(EXAMPLE), server.host, str(server.port), USER, PASSWORD, str(ca)],
        capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "uploaded over TLS: ['secret.txt']",
        "downloaded over TLS: only for the server's eyes",
    ]
    data = [e for e in server.events() if e["ev"] == "data"]
    assert len(data) == 3 and all(e["tls"] for e in data)
