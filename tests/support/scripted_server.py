"""A scripted FTP server that knows the truth, and misbehaves on request.

Its files and folders, and each connection's current folder, are held in
memory, so a test can compare every answer a client gives with what is so.
Each connection answers one command at a time, in the order they came, as
most servers do.  One armed `Fault` changes the first command it matches, at
a chosen stage: the PASV reply, the data connection, the preliminary (1xx)
reply, the data, the final reply, or a simple command's reply.

The server runs in threads of the test's own process, so that it can
interrupt the client at an exact point of the conversation: `interrupt`
sends SIGUSR1 to the main thread, whose handler (the test's) raises the
caller's own exception there.  Every wait is bounded.
"""

import posixpath
import signal
import socket
import threading
import time
from dataclasses import dataclass

WAIT = 10.0  # the longest any server step waits for the client


def closed_port(host):
    """A port nothing listens on: a connection to it is refused."""
    with socket.socket() as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def unanswered_port(host, held):
    """A port whose listener never accepts: a connection to it times out.
    The sockets behind it go into `held`, for the caller to close."""
    listener = socket.create_server((host, 0), backlog=0)
    filler = socket.create_connection(listener.getsockname(), timeout=WAIT)
    held += [listener, filler]
    return listener.getsockname()[1]


@dataclass
class Fault:
    verb: str   # the command it changes (the first that comes)
    stage: str  # "reply" (a simple command's), "pasv", "prelim", "data", "final"
    kind: str
    seconds: float = 0.0  # for "late"


class Connection:
    def __init__(self, server, sock):
        self.server = server
        self.sock = sock
        self.reader = sock.makefile("rb")
        self.cwd = "/"
        self.passive = None  # the listening socket of the last PASV
        self.rename_from = None
        self.type = "A"

    # --- the wire -----------------------------------------------------------

    def send(self, text):
        self.send_bytes(text.encode("utf-8", "surrogateescape"))

    def send_bytes(self, data):
        self.sock.sendall(data + b"\r\n")

    def deliver(self, text, fault):
        """Sends a reply, changed as `fault` says (None: as it is)."""
        kind = fault.kind if fault else None
        code, rest = text[:3], text[4:]
        if kind == "late":
            time.sleep(fault.seconds)
        elif kind == "stall":  # past the client's time-out, then the reply
            time.sleep(self.server.time_out + 0.3)
        elif kind == "interrupt":
            self.server.interrupt()
            time.sleep(0.05)
        elif kind == "close":
            self.sock.shutdown(socket.SHUT_RDWR)
            return
        if kind == "multiline":
            self.send(f"{code}-{rest}")
            self.send(" and a line of its own")
            self.send(f"{code} end")
        elif kind == "extra":  # a reply nobody asked for, before the real one
            self.send("120 Ready in a moment.")
            self.send(text)
        elif kind == "overlong":
            self.send(f"{code} {'x' * 9000} {rest}")
        elif kind == "undecodable":
            self.send_bytes(f"{code} ".encode() + b"caf\xe9 \xff\xfe " + rest.encode())
        else:
            self.send(text)

    def reply(self, verb, text, stage="reply"):
        self.deliver(text, self.server.take(verb, stage))

    # --- paths --------------------------------------------------------------

    def path(self, name):
        return posixpath.normpath(posixpath.join(self.cwd, name or "."))

    # --- commands -----------------------------------------------------------

    def handle(self, verb, arg):
        if verb == "PASV":
            return self.open_passive()
        fault = self.server.take(verb, "reply")
        if fault and fault.kind in ("450", "550"):
            return self.send(f"{fault.kind} Scripted refusal.")
        if verb in ("RETR", "STOR", "NLST"):
            return self.transfer(verb, arg)
        if verb == "QUIT":
            self.send("221 Bye.")
            return self.sock.shutdown(socket.SHUT_RDWR)
        with self.server.lock:
            text = self.simple(verb, arg, self.server)
        self.deliver(text, fault)

    def simple(self, verb, arg, truth):
        path = self.path(arg)
        if verb in ("USER",):
            return "331 Password, please."
        if verb == "PASS":
            return "230 Logged in."
        if verb == "SYST":
            return "215 UNIX Type: L8"
        if verb in ("NOOP",):
            return "200 Nothing done."
        if verb == "ABOR":
            return "225 No transfer to abort."
        if verb == "TYPE":
            self.type = arg[:1].upper()
            return f"200 Type {self.type}."
        if verb == "PWD":
            return f'257 "{self.cwd}" is the current folder.'
        if verb == "CDUP":
            verb, path = "CWD", posixpath.dirname(self.cwd)
        if verb == "CWD":
            if path not in truth.dirs:
                return "550 No such folder."
            self.cwd = path
            return "250 Folder changed."
        if verb == "MKD":
            if path in truth.dirs or path in truth.files or posixpath.dirname(path) not in truth.dirs:
                return "550 Cannot make it."
            truth.dirs.add(path)
            return f'257 "{path}" made.'
        if verb == "RMD":
            if path not in truth.dirs or path == "/" or any(
                    posixpath.dirname(p) == path for p in list(truth.dirs) + list(truth.files)):
                return "550 Cannot remove it."
            truth.dirs.discard(path)
            return "250 Removed."
        if verb == "DELE":
            if path not in truth.files:
                return "550 No such file."
            del truth.files[path]
            return "250 Deleted."
        if verb == "RNFR":
            if path not in truth.files:
                self.rename_from = None
                return "550 No such file."
            self.rename_from = path
            return "350 Ready for the new name."
        if verb == "RNTO":
            source, self.rename_from = self.rename_from, None
            if source is None or posixpath.dirname(path) not in truth.dirs or path in truth.dirs:
                return "550 Cannot rename."
            truth.files[path] = truth.files.pop(source)
            return "250 Renamed."
        if verb == "SIZE":
            if path not in truth.files:
                return "550 Not a file."
            if self.type != "I":
                return "550 SIZE not allowed in ASCII type."
            return f"213 {len(truth.files[path])}"
        return "502 Not implemented."

    def open_passive(self):
        if self.passive:
            self.passive.close()
        self.passive = socket.create_server((self.server.host, 0))
        self.passive.settimeout(WAIT)
        port = self.passive.getsockname()[1]
        fault = self.server.take("PASV", "pasv")
        if fault and fault.kind == "refused":
            port = closed_port(self.server.host)
        elif fault and fault.kind == "unanswered":
            port = unanswered_port(self.server.host, self.server.held)
        text = f"227 Entering Passive Mode (127,0,0,1,{port >> 8},{port & 255})."
        self.deliver(text, fault)

    def transfer(self, verb, arg):
        """RETR, STOR or NLST, each stage open to its fault."""
        path = self.path(arg)
        truth = self.server
        with truth.lock:
            if verb == "RETR" and path not in truth.files:
                return self.send("550 No such file.")
            if verb == "STOR" and posixpath.dirname(path) not in truth.dirs:
                return self.send("553 No such folder.")
            if verb == "RETR":
                payload = truth.files[path]
            elif verb == "NLST":
                payload = "".join(f"{n}\r\n" for n in truth.names_in(self.cwd)).encode()
        if self.passive is None:
            return self.send("425 Use PASV first.")
        listener, self.passive = self.passive, None
        with listener:
            data_fault = truth.take(verb, "data")
            if data_fault and data_fault.kind == "never accept":
                self.deliver("150 Here it comes.", truth.take(verb, "prelim"))
                time.sleep(truth.time_out + 0.1)  # the client gives up waiting first
                return self.deliver("425 Cannot open the data connection.", truth.take(verb, "final"))
            try:
                conn, _ = listener.accept()
            except OSError:
                return self.send("425 Cannot open the data connection.")
        prelim = truth.take(verb, "prelim")
        if prelim and prelim.kind == "several":
            self.send("125 Data connection already open.")
            prelim = None
        self.deliver("150 Here it comes.", prelim)
        with conn:
            conn.settimeout(WAIT)
            if verb == "STOR":
                whole = self.receive(conn, data_fault)
                with truth.lock:
                    truth.files[path] = self.received
                final = "226 Stored." if whole else "426 Transfer aborted."
            else:
                if verb == "NLST" and data_fault and data_fault.kind == "overlong":
                    payload = b"y" * 9000 + b"\r\n" + payload
                elif verb == "NLST" and data_fault and data_fault.kind == "undecodable":
                    payload = b"caf\xe9.txt\r\n" + payload
                final = "226 Sent." if self.send_data(conn, payload, data_fault) else \
                    "426 Transfer aborted."
        fault = truth.take(verb, "final")
        if fault and fault.kind in ("426", "451"):
            final = f"{fault.kind} Transfer failed after all."
            fault = None
        elif fault and fault.kind == "both":  # an aborted transfer reported twice
            self.send("426 Transfer aborted.")
            final, fault = "226 Closing the data connection.", None
        self.deliver(final, fault)

    def send_data(self, conn, payload, fault):
        """True when the whole payload went out."""
        kind = fault.kind if fault else None
        if kind not in ("reset", "freeze", "interrupt"):
            try:
                conn.sendall(payload)
                return True
            except OSError:
                return False
        part = len(payload) // 3
        try:
            conn.sendall(payload[:part])
        except OSError:
            return False
        if kind == "reset":
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
            return False
        if kind == "interrupt":
            self.server.interrupt()
        self.wait_for_close(conn)
        return False

    def receive(self, conn, fault):
        """Reads an upload into self.received; True when it ended by itself."""
        kind = fault.kind if fault else None
        chunks, got = [], 0
        try:
            while True:
                if kind in ("interrupt", "reset") and got >= 30_000:
                    if kind == "reset":
                        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
                        return False
                    self.server.interrupt()
                    kind = None  # and read on until the client gives up
                data = conn.recv(65536)
                if not data:
                    return True
                chunks.append(data)
                got += len(data)
        except OSError:
            return False
        finally:
            self.received = b"".join(chunks)

    @staticmethod
    def wait_for_close(conn):
        """Until the client closes its end (bounded)."""
        deadline = time.monotonic() + WAIT
        conn.settimeout(0.05)
        while time.monotonic() < deadline:
            try:
                if not conn.recv(65536):
                    return
            except socket.timeout:
                continue
            except OSError:
                return

    def serve(self):
        try:
            self.send("220 Scripted server ready.")
            while True:
                line = self.reader.readline(4096)
                if not line:
                    return
                text = line.decode("utf-8", "surrogateescape").rstrip("\r\n")
                verb, _, arg = text.partition(" ")
                with self.server.lock:
                    self.server.commands.append(verb.upper())
                self.handle(verb.upper(), arg)
        except OSError:
            return
        finally:
            if self.passive:
                self.passive.close()
            self.reader.close()
            self.sock.close()


class ScriptedServer:
    def __init__(self, time_out, host="127.0.0.1"):
        self.host = host
        self.time_out = time_out
        self.lock = threading.Lock()
        self.files = {}
        self.dirs = {"/"}
        self.commands = []
        self.connections = []
        self._fault = None
        self._main = threading.main_thread().ident
        self.held = []  # sockets behind "unanswered" ports
        self._listener = socket.create_server((host, 0))
        self._listener.settimeout(0.2)
        self.port = self._listener.getsockname()[1]
        self._stopping = False
        self._thread = threading.Thread(target=self._accept, daemon=True)
        self._thread.start()

    # --- the truth ----------------------------------------------------------

    def names_in(self, folder):
        with_parent = [p for p in list(self.files) + list(self.dirs) if p != "/"]
        return sorted(posixpath.basename(p) for p in with_parent
                      if posixpath.dirname(p) == folder)

    @property
    def cwd(self):
        """The current folder of the newest connection: the client's."""
        with self.lock:
            return self.connections[-1].cwd if self.connections else "/"

    # --- faults -------------------------------------------------------------

    def arm(self, fault):
        with self.lock:
            self._fault = fault

    def disarm(self):
        with self.lock:
            self._fault = None

    def take(self, verb, stage):
        with self.lock:
            fault = self._fault
            if fault and fault.verb == verb and fault.stage == stage:
                self._fault = None
                return fault
        return None

    def interrupt(self):
        signal.pthread_kill(self._main, signal.SIGUSR1)


    # --- running --------------------------------------------------------------

    def _accept(self):
        while not self._stopping:
            try:
                sock, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            sock.settimeout(60)
            connection = Connection(self, sock)
            connection.thread = threading.Thread(target=connection.serve, daemon=True)
            with self.lock:
                self.connections.append(connection)
            connection.thread.start()

    def settle(self):
        """Waits (bounded) until no connection but the newest is served, so
        that nothing but the client's own commands changes the truth."""
        with self.lock:
            old = self.connections[:-1]
        for c in old:
            c.thread.join(WAIT)

    def close(self):
        self._stopping = True
        self._thread.join(WAIT)
        self._listener.close()
        for s in self.held:
            s.close()
        with self.lock:
            connections = list(self.connections)
        for c in connections:
            try:
                c.sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
