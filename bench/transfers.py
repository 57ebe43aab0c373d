"""Whole-file transfers: CUF_DownloadFile / CUF_UploadFile against raw
ftplib (retrbinary / storbinary with the same block size, into / from a
local file, on the session's own connection) and against curl's data phase
(time_total - time_pretransfer), on each server, interleaved round by
round."""

import filecmp
import os
import subprocess
import time

import Quorvan

from bench.common import median, paired_ratio, ratio_spread, rotated

BLOCK_SIZES = (8 * 1024, 64 * 1024, 1024 * 1024)
FTPLIB_TARGET = 0.98  # throughput of the extension / raw ftplib
CURL_TARGET = 1.10  # time of the extension / curl's data phase, at >= 64 KiB
CURL_TIMEOUT = 600
KEEP_ALIVE_OFF = 24 * 3600  # seconds: longer than any run


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
    """The session on one server, and raw ftplib on the very same connection
    (its mobj_FTP): vsftpd serves each connection from a process of its own,
    and where the scheduler puts that process moves a loopback transfer by
    tens of percent, so two connections would compare placements, not code.
    The keep-alive interval is set past the run's length, so no NOOP of the
    session's timer can come between raw ftplib's commands."""

    def __init__(self, server):
        self.server = server
        self.session = Quorvan.CLASS_FTPClient()
        self.session.CUF_Open("127.0.0.1", server.port, Pmi_KeepAliveInterval=KEEP_ALIVE_OFF)
        self.ftp = self.session.mobj_FTP
        self.url = f"ftp://127.0.0.1:{server.port}/"

    def close(self):
        self.session.CUF_Close()


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
        plans = []
        for server in servers:
            os.link(source, os.path.join(server.data, "source.bin"))
            c = clients[server.name] = Clients(server)
            plans.append((server.name, "download", local,
                          *download_variants(c, remote_source, local)))
            plans.append((server.name, "upload", os.path.join(server.data, "uploaded.bin"),
                          *upload_variants(c, source, remote_upload)))

        def measure(what, client, action, check, first):
            if client == "curl":
                seconds, count = curl(action)
            else:
                seconds, count = timed(action), size
            got = os.path.getsize(check)
            if got != size or count != size:
                raise RuntimeError(f"{what}: {got} bytes arrived, {count} counted, want {size}")
            if first and not filecmp.cmp(check, source, shallow=False):
                raise RuntimeError(f"{what}: the bytes that arrived differ from the source")
            return seconds

        # (server, direction, client, block size) -> seconds, one per round
        times = {}
        for r in range(rounds):
            for name, direction, check, ext, raw, curl_args in plans:
                # Each block size's pair runs back to back, its order
                # alternating; curl takes a different place every round.
                steps = [("pair", bs) for bs in BLOCK_SIZES] + [("curl", 0)]
                for kind, bs in rotated(steps, r):
                    if kind == "curl":
                        pair = [("curl", curl_args)]
                    else:
                        pair = [("ext", ext(bs)), ("ftplib", raw(bs))]
                        if r % 2:
                            pair.reverse()
                    for client, action in pair:
                        seconds = measure(f"{name} {direction} {client} {bs}", client, action,
                                          check, r == 0)
                        times.setdefault((name, direction, client, bs), []).append(seconds)
        for name, direction, *_ in plans:
            curl_s = times[(name, direction, "curl", 0)]
            for bs in BLOCK_SIZES:
                ext_s = times[(name, direction, "ext", bs)]
                raw_s = times[(name, direction, "ftplib", bs)]
                vs_raw = paired_ratio(raw_s, ext_s)  # throughput ratio
                vs_curl = paired_ratio(ext_s, curl_s)  # time ratio
                target = f">= {FTPLIB_TARGET}"
                met = vs_raw >= FTPLIB_TARGET
                if bs >= 64 * 1024:
                    target += f", <= {CURL_TARGET}"
                    met = met and vs_curl <= CURL_TARGET

                def mbps(values):
                    return size / median(values) / 1e6

                report.add(
                    "transfer", f"{name} {direction} {bs // 1024} KiB",
                    f"ext {mbps(ext_s):.0f}, ftplib {mbps(raw_s):.0f}, "
                    f"curl {mbps(curl_s):.0f} MB/s",
                    f"ext/ftplib {vs_raw:.3f} ({ratio_spread(raw_s, ext_s)}), "
                    f"ext time/curl {vs_curl:.2f}", target, met)
    finally:
        for c in clients.values():
            c.close()
        for path in [source, local] + [os.path.join(s.data, f) for s in servers
                                       for f in ("source.bin", "uploaded.bin")]:
            try:
                os.unlink(path)
            except FileNotFoundError:
                pass
