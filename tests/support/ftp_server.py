"""A pyftpdlib server for the tests, run as a separate process.

It serves ROOT on loopback to an anonymous user and to alice/secret, writes
every command, reply and connection event to a JSON-lines log, and applies
fault rules read from a JSON file before each command, so a test can make the
server misbehave at a chosen point:

    {"cmd": "SIZE", "action": "reply", "text": "450 busy"}
    {"cmd": "NOOP", "action": "hangup"}           close without a reply
    {"cmd": "PWD",  "action": "stall"}            never answer this command (nor any after it)
    {"cmd": "NOOP", "action": "delay", "seconds": S}  answer S seconds late
    {"cmd": "RETR", "action": "cut", "after": N}  abort the data after N bytes
    {"cmd": "RETR", "action": "slow", "seconds": S}   start sending the data S seconds late
    {"cmd": "RETR", "action": "freeze", "after": N}   send N bytes, then nothing, keeping
                                                  the data connection open
    {"cmd": "NOOP", "action": "idle", "seconds": S}   from here on, time the connection out
                                                  (421, then close) after S idle seconds

A "freeze" rule may say what becomes of the transfer's final reply (226 or
426) once the client gives up: "final": S sends it S seconds late, "never"
drops it, "silent" drops it and answers nothing more on that connection, any
other text is sent at once in its place.

Commands are answered in the order they came, as a server that handles one
command at a time answers them: while a reply is held back (a delay, a stall,
a late final reply), the commands that follow wait behind it.

Optional keys: "arg" (the rule applies only when the argument contains
it), "user" (only for that login), "times" (how often the rule may fire).
Prints "PORT <n>" on stdout once it listens.

With --tls CERTFILE (certificate chain and key in one PEM file) it speaks
FTPS and refuses to log in or open a data connection without TLS; every data
connection is logged with whether it was TLS.
"""

import argparse
import itertools
import json
import os
import socket
import sys
import threading
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
from pyftpdlib.utils import is_ssl_sock

PERMS = "elradfmwMT"


class Log:
    def __init__(self, path):
        self._file = open(path, "a", buffering=1, encoding="utf-8")
        self._lock = threading.Lock()

    def write(self, **event):
        event["t"] = time.time()
        with self._lock:
            self._file.write(json.dumps(event, ensure_ascii=False) + "\n")


class Faults:
    """Rules from a JSON file (a list), re-read whenever the file changes."""

    def __init__(self, path):
        self._path = path
        self._stamp = None
        self._rules = []
        self._fired = {}

    def _reload(self):
        try:
            st = os.stat(self._path)
        except FileNotFoundError:
            self._stamp, self._rules = None, []
            return
        stamp = (st.st_mtime_ns, st.st_size, st.st_ino)
        if stamp != self._stamp:
            with open(self._path, encoding="utf-8") as f:
                text = f.read()
            self._rules = json.loads(text) if text.strip() else []
            self._stamp = stamp
            self._fired = {}  # rules set anew fire anew, even where equal to earlier ones

    def match(self, cmd, arg, user):
        self._reload()
        for rule in self._rules:
            if rule.get("cmd", "").upper() != cmd:
                continue
            if "arg" in rule and rule["arg"] not in (arg or ""):
                continue
            if "user" in rule and rule["user"] != user:
                continue
            key = json.dumps(rule, sort_keys=True)
            if "times" in rule and self._fired.get(key, 0) >= rule["times"]:
                continue
            self._fired[key] = self._fired.get(key, 0) + 1
            return rule
        return None


class CutProducer:
    """Hands out the first `limit` bytes of a producer, then fails, which
    makes the data channel abort the transfer with a 426 reply."""

    def __init__(self, inner, limit):
        self._inner = inner
        self._left = limit

    def more(self):
        if self._left <= 0:
            raise ConnectionAbortedError("transfer cut by a fault rule")
        data = self._inner.more()
        if not data:
            return data
        data = data[: self._left]
        self._left -= len(data)
        return data


class Freezing:
    """Mixed into the data channel: when its control connection asks for it, it
    stops sending after a number of bytes and waits for the client to give up."""

    def _watch_for_close(self):
        """The loop does not report a sending channel readable: the client's
        giving up is looked for here, so that the final reply follows it."""
        if self._closed:
            self._watch.cancel()
            return
        try:
            gone = self.socket.recv(1, socket.MSG_PEEK | socket.MSG_DONTWAIT) == b""
        except BlockingIOError:
            return
        except OSError:
            gone = True
        if gone:
            self._watch.cancel()
            self.handle_close()

    def send(self, data):
        limit = getattr(self, "_freeze_after", None)
        if limit is None and self.cmd_channel._freeze_after is not None:
            limit = self._freeze_after = self.cmd_channel._freeze_after
            self.cmd_channel._freeze_after = None
        if limit is not None:
            room = limit - self.tot_bytes_sent
            if room <= 0:
                # Not writable any more; a close by the client still reads as EOF.
                self.modify_ioloop_events(self.ioloop.READ)
                if getattr(self, "_watch", None) is None:
                    self._watch = self.ioloop.call_every(0.05, self._watch_for_close)
                return 0
            data = data[:room]
        return super().send(data)


def make_handler(log, faults, base=FTPHandler):
    session_ids = itertools.count(1)

    class RecordingDataChannel(Freezing, base.dtp_handler):
        def __init__(self, sock, cmd_channel):
            super().__init__(sock, cmd_channel)
            log.write(sid=cmd_channel.sid, ev="data", tls=is_ssl_sock(self.socket))

    class RecordingHandler(base):
        use_sendfile = False  # every byte goes through push_dtp_data's producer
        dtp_handler = RecordingDataChannel

        def on_connect(self):
            self.sid = next(session_ids)
            self._cut_after = None
            self._slow_start = None
            self._freeze_after = None
            self._final = None
            self._held = None  # commands that came while a reply was held back
            log.write(sid=self.sid, ev="connect")

        def on_disconnect(self):
            log.write(sid=getattr(self, "sid", 0), ev="disconnect")

        def hold(self):
            if self._held is None:
                self._held = []

        def release(self):
            """Answers the commands that waited, in order, until one holds
            its reply back again."""
            held, self._held = self._held or [], None
            while held and self._held is None and not self._closed:
                self.pre_process_command(*held.pop(0))
            if held:
                self._held = held + (self._held or [])

        def pre_process_command(self, line, cmd, arg):
            if self._held is not None:
                self._held.append((line, cmd, arg))
                return
            log.write(sid=self.sid, ev="cmd", cmd=cmd, arg=arg, user=self.username)
            rule = faults.match(cmd, arg, self.username)
            if rule is not None:
                log.write(sid=self.sid, ev="fault", cmd=cmd, rule=rule)
                action = rule["action"]
                if action == "reply":
                    self.respond(rule["text"])
                    return
                if action == "hangup":
                    self.close()
                    return
                if action == "stall":
                    self.hold()
                    return
                if action == "delay":
                    def late():
                        if not self._closed:
                            base.pre_process_command(self, line, cmd, arg)
                            self.release()

                    self.hold()
                    self.ioloop.call_later(float(rule["seconds"]), late)
                    return
                if action == "cut":
                    self._cut_after = int(rule["after"])
                elif action == "slow":
                    self._slow_start = float(rule["seconds"])
                elif action == "freeze":
                    self._freeze_after = int(rule["after"])
                    self._final = rule.get("final")
                elif action == "idle":
                    self.timeout = float(rule["seconds"])
                    if self._idler is not None and not self._idler.cancelled:
                        self._idler.cancel()
                    self._idler = self.ioloop.call_later(
                        self.timeout, self.handle_timeout, _errback=self.handle_error)
            super().pre_process_command(line, cmd, arg)

        def push_dtp_data(self, data, isproducer=False, file=None, cmd=None):
            if cmd == "RETR" and self._cut_after is not None and isproducer:
                data = CutProducer(data, self._cut_after)
                self._cut_after = None
            if cmd == "RETR" and self._slow_start is not None:
                delay, self._slow_start = self._slow_start, None
                push = super().push_dtp_data

                def later():
                    if not self._closed:
                        push(data, isproducer=isproducer, file=file, cmd=cmd)

                self.ioloop.call_later(delay, later)
                return None
            return super().push_dtp_data(data, isproducer=isproducer, file=file, cmd=cmd)

        def respond(self, resp, *args, **kwargs):
            final = getattr(self, "_final", None)
            if final is not None and resp[:3] in ("226", "426"):
                self._final = None
                log.write(sid=self.sid, ev="final", code=resp[:3], rule=final)
                if final == "never":
                    return None
                if final == "silent":
                    self.hold()
                    return None
                if isinstance(final, (int, float)):
                    def late():
                        if not self._closed:
                            self.respond(resp, *args, **kwargs)
                            self.release()

                    self.hold()
                    self.ioloop.call_later(float(final), late)
                    return None
                resp = final
            log.write(sid=getattr(self, "sid", 0), ev="reply", code=resp[:3], text=resp[4:])
            return super().respond(resp, *args, **kwargs)

    return RecordingHandler


def exit_with_parent():
    """Ends the server once the process that started it is gone, however it
    ended, so a killed test run or demo leaves no server behind."""
    parent = os.getppid()
    while os.getppid() == parent:
        time.sleep(0.5)
    os._exit(0)


def main():
    threading.Thread(target=exit_with_parent, daemon=True).start()
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--faults", required=True)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--idle-timeout", type=float, default=300)
    parser.add_argument("--tls", metavar="CERTFILE")
    args = parser.parse_args()

    authorizer = DummyAuthorizer()
    authorizer.add_user("alice", "secret", args.root, perm=PERMS)
    authorizer.add_anonymous(args.root, perm=PERMS)
    base = FTPHandler
    if args.tls:
        from pyftpdlib.handlers import TLS_FTPHandler  # present only with pyOpenSSL

        class TLSOnlyHandler(TLS_FTPHandler):
            certfile = args.tls
            tls_control_required = True
            tls_data_required = True

        base = TLSOnlyHandler

    handler = make_handler(Log(args.log), Faults(args.faults), base)
    handler.authorizer = authorizer
    handler.timeout = args.idle_timeout
    handler.encoding = "utf-8"
    # Names go out as the bytes on disk, as from a server on an older file
    # system: a name that is not UTF-8 reaches the client undecodable.
    handler.unicode_errors = "surrogateescape"
    server = FTPServer((args.host, args.port), handler)
    server.max_cons = 512
    print("PORT", server.address[1], flush=True)
    server.serve_forever(timeout=0.05, handle_exit=True)


if __name__ == "__main__":
    import logging

    logging.basicConfig(level=logging.CRITICAL, stream=sys.stderr)
    main()
