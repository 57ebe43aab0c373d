"""Whole-file transfers: CUF_DownloadFile / CUF_UploadFile against raw
ftplib (retrbinary / storbinary with the same block size, into / from a
local file) and against curl's data phase (time_total - time_pretransfer),
on each server, interleaved round by round."""

import filecmp
import ftplib
import os
import subprocess
import time

import Quorvan

from bench.common import median, rotated

BLOCK_SIZES = (8 * 1024, 64 * 1024, 1024 * 1024)
FTPLIB_TARGET = 0.98  # throughput of the extension / raw ftplib
CURL_TARGET = 1.10  # time of the extension / curl's data phase, at >= 64 KiB
CURL_TIMEOUT = 600


def make_source(path, size):
    """`size` bytes of incompressible data, written in 1 MiB pieces."""
    piece = os.urandom(1024 * 1024)
    with open(path, "wb") as f:
        left = size
        while left > 0:
            f.write(piece[:left])
            left -= len(piece)
    os.chmod(path, 0o644)


class Clients:
    """One open connection per client kind on one server."""

    def __init__(self, server):
        self.server = server
        self.session = Quorvan.CLASS_FTPClient()
        self.session.CUF_Open("127.0.0.1", server.port)
        self.ftp = ftplib.FTP()
        self.ftp.connect("127.0.0.1", server.port, timeout=10)
        self.ftp.login()
        self.ftp.set_pasv(True)
        self.url = f"ftp://127.0.0.1:{server.port}/"

    def close(self):
        self.session.CUF_Close()
        try:
            self.ftp.quit()
        except ftplib.all_errors:
            self.ftp.close()


def timed(action):
    t0 = time.perf_counter()
    action()
    return time.perf_counter() - t0


def curl(args):
    """Runs curl; returns its data phase in seconds and the byte count."""
    out = subprocess.run(
        ["curl", "-sS", "--fail", "-w", "%{time_pretransfer} %{time_total} %{size_download} "
         "%{size_upload}", *args],
        capture_output=True, text=True, timeout=CURL_TIMEOUT, check=True).stdout.split()
    pretransfer, total, down, up = float(out[0]), float(out[1]), int(out[2]), int(out[3])
    return total - pretransfer, max(down, up)


def download_variants(c, remote, local):
    def ext(bs):
        return lambda: c.session.CUF_DownloadFile(remote, local, bs)

    def raw(bs):
        def run():
            with open(local, "wb") as f:
                c.ftp.retrbinary("RETR " + remote, f.write, blocksize=bs)
        return run

    return ext, raw, ["-o", local, c.url + remote]


def upload_variants(c, source, remote):
    def ext(bs):
        return lambda: c.session.CUF_UploadFile(source, remote, bs)

    def raw(bs):
        def run():
            with open(source, "rb") as f:
                c.ftp.storbinary("STOR " + remote, f, blocksize=bs)
        return run

    return ext, raw, ["-T", source, c.url + remote]


def run(report, servers, workdir, size, rounds):
    source = os.path.join(workdir, "source.bin")
    local = os.path.join(workdir, "downloaded.bin")
    make_source(source, size)
    remote_source = "pub/source.bin"
    remote_upload = "pub/uploaded.bin"
    clients = {}
    try:
        for server in servers:
            os.link(source, os.path.join(server.data, "source.bin"))
            clients[server.name] = Clients(server)
        # (server, direction) -> variant key -> list of seconds
        times = {}
        plans = []
        for server in servers:
            c = clients[server.name]
            for direction in ("download", "upload"):
                if direction == "download":
                    ext, raw, curl_args = download_variants(c, remote_source, local)
                    check = local
                else:
                    ext, raw, curl_args = upload_variants(c, source, remote_upload)
                    check = os.path.join(server.data, "uploaded.bin")
                variants = {("ext", bs): ext(bs) for bs in BLOCK_SIZES}
                variants.update({("ftplib", bs): raw(bs) for bs in BLOCK_SIZES})
                variants[("curl", 0)] = curl_args
                plans.append((server.name, direction, variants, check))
        for r in range(rounds):
            for name, direction, variants, check in plans:
                for key in rotated(list(variants), r):
                    action = variants[key]
                    if key[0] == "curl":
                        seconds, count = curl(action)
                    else:
                        seconds, count = timed(action), None
                    got = os.path.getsize(check)
                    if got != size or (count is not None and count != size):
                        raise RuntimeError(f"{name} {direction} {key}: {got} bytes, want {size}")
                    if r == 0 and not filecmp.cmp(check, source, shallow=False):
                        raise RuntimeError(f"{name} {direction} {key}: content differs")
                    times.setdefault((name, direction), {}).setdefault(key, []).append(seconds)
        for name, direction, variants, check in plans:
            t = times[(name, direction)]
            curl_s = median(t[("curl", 0)])
            for bs in BLOCK_SIZES:
                ext_s = median(t[("ext", bs)])
                raw_s = median(t[("ftplib", bs)])
                vs_raw = raw_s / ext_s
                vs_curl = ext_s / curl_s
                mbps = lambda s: size / s / 1e6  # noqa: E731
                ratio = f"ext/ftplib {vs_raw:.3f}, ext time/curl {vs_curl:.2f}"
                target = f">= {FTPLIB_TARGET}"
                met = vs_raw >= FTPLIB_TARGET
                if bs >= 64 * 1024:
                    target += f", <= {CURL_TARGET}"
                    met = met and vs_curl <= CURL_TARGET
                report.add(
                    "transfer", f"{name} {direction} {bs // 1024} KiB",
                    f"ext {mbps(ext_s):.0f}, ftplib {mbps(raw_s):.0f}, "
                    f"curl {mbps(curl_s):.0f} MB/s", ratio, target, met)
    finally:
        for c in clients.values():
            c.close()
        for path in [source, local] + [os.path.join(s.data, f) for s in servers
                                       for f in ("source.bin", "uploaded.bin")]:
            try:
                os.unlink(path)
            except FileNotFoundError:
                pass
