# Type information for the Quorvan extension module: one class holding one
# FTP session.  The methods carry annotations at run time (recorded, never
# enforced); the stub widens some of them to what the methods accept, since
# every argument is handed on to ftplib, threading or open() as it is:
# seconds as float (int is accepted as float), local files as a path (str or
# bytes, or an object with __fspath__) or, where open() takes one, a file
# descriptor.  Remote names stay str: ftplib joins them to its command text.
#
# The docstrings here are the module's documentation: editors show them, and
# scripts/reference renders them as docs/reference.md.  (help() shows the
# methods' own, shorter docstrings.)
import ftplib
import os
import threading as threading
from typing import List as List

# Looked up each time a method needs them, so a program may rebind them: FTP
# to an ftplib.FTP_TLS subclass for FTPS, for instance.
FTP: type[ftplib.FTP]
error_perm: type[ftplib.error_perm]

class CLASS_FTPClient:
    """One FTP session, on top of the standard library's `ftplib.FTP`, safe to
    share between threads and kept from idling out by a background keep-alive.

    `CUF_Open` connects and logs in, then a chain of timer threads sends `NOOP`
    every `Pmi_KeepAliveInterval` seconds. One lock per session (`mobj_Lock`)
    lets one command at a time onto the control connection, a whole transfer
    included: the caller's threads and the keep-alive wait for it in turn,
    without a time limit. `CUF_Close` stops the keep-alive, sends `QUIT` and
    clears the session; a closed session can be opened again.

    States: New (made, nothing sent), Open, Open failed (`CUF_Open` raised),
    Lost (a keep-alive `NOOP` failed, or the server said nothing within
    `Pmi_Timeout` after a failed command: `mb_Connected` is False, nothing
    reconnects), Closed. Every method may be called in every state.

    Arguments are not checked or converted: `ftplib`, `threading` or `open()`
    decides. Remote names are `str`, sent as they are in the session's
    encoding. Local files are a path (`str`, `bytes` or path-like) or an open
    file descriptor.

    Errors reach the caller unchanged, after the lock has been released, except
    where a method says otherwise: `ftplib.error_perm` for a 5xx reply,
    `ftplib.error_temp` for 4xx, `OSError` or `EOFError` for a broken or
    timed-out connection (`ftplib.all_errors` covers these). A method called
    without a connection (before `CUF_Open`, after `CUF_Close`) raises
    `AttributeError`, which `ftplib.all_errors` does not cover.

    Whatever a command fails with (a refusal, a broken or timed-out
    connection, a reply or listing that cannot be decoded, the caller's own
    exception from a signal handler, `KeyboardInterrupt`), the next command
    gets its own reply: before the error is raised, the session sends `ABOR`
    and `SYST` and drops every line the server sends before `SYST`'s reply.
    That costs a round trip, and up to `Pmi_Timeout` when the server is late
    with what it owes; when it says nothing within `Pmi_Timeout`, the session
    is marked Lost and its connection ended, so later calls fail at once.

    The class is not a context manager: close a session in `try`/`finally`.
    No method calls another method of the session while it holds the lock, so
    a subclass may override a method and use the session from it.
    """

    mobj_FTP: ftplib.FTP | None
    """The connection object (`FTP()` as `CUF_Open` made it), or None when the
    session is New or Closed."""
    mb_Connected: bool
    """True from a successful `CUF_Open` until `CUF_Close`, a failed open or a
    failed keep-alive `NOOP`: a record of those events, not a probe."""
    ms_Encoding: str
    """The encoding the last `CUF_Open` applied ("utf-8" at first)."""
    mobj_KeepAliveTimer: threading.Timer | None
    """The keep-alive timer armed last, or None."""
    mi_KeepAliveInterval: float
    """Seconds between two keep-alive `NOOP`s (30 at first)."""
    mb_TimerRunning: bool
    """True while the keep-alive chain runs: from a start until a stop."""
    mobj_Lock: threading.Lock
    """The session's lock: plain, not re-entrant, held around each command."""

    def __init__(self) -> None:
        """A new session, in the state New: no connection, nothing sent, no
        thread started.

        Sets the seven attributes: `mobj_FTP` None, `mb_Connected` False,
        `ms_Encoding` "utf-8", `mobj_KeepAliveTimer` None,
        `mi_KeepAliveInterval` 30, `mb_TimerRunning` False and `mobj_Lock` a new
        `threading.Lock()`.
        """
    def CUF_Open(
        self,
        Pms_Host: str,
        Pmi_Port: int = 21,
        Pms_User: str = "",
        Pms_Password: str = "",
        Pmi_Timeout: float = 10,
        Pmb_Passive: bool = True,
        Pms_Encoding: str = "utf-8",
        Pmi_KeepAliveInterval: float = 30,
    ) -> bool:
        """Connect, log in and start the keep-alive.

        A session that still holds a connection object (Open, Lost or Open
        failed) is closed first, as `CUF_Close` does. Then, while the session
        lock is held, so that no other thread's command reaches the new
        connection before it is logged in: a connection object is made by
        calling the module global `FTP` (bind an `ftplib.FTP_TLS` subclass there
        for FTPS); it connects to `Pms_Host` on `Pmi_Port` with a time-out of
        `Pmi_Timeout` seconds, which then bounds every later wait for the
        server too; it logs in with `Pms_User` and `Pms_Password`, or
        anonymously when `Pms_User` is empty (the password is then not sent);
        it is put in passive mode when `Pmb_Passive` is true (active mode
        otherwise); and it uses `Pms_Encoding` for commands and names from then
        on (the greeting and the login use ftplib's default). After the lock is
        released, `CUF_StartKeepAliveTimer` starts the keep-alive with
        `Pmi_KeepAliveInterval` seconds; the first `NOOP` goes out one interval
        later.

        Returns True: a failure is never returned as False.

        Raises `RuntimeError("FTP Open failed: <text of the error>")` for every
        `Exception` on the way (an unknown host, a refused connection, a
        time-out, a refused login, an interval the keep-alive refuses), with
        the original error as its `__context__`. The session is then Open
        failed: `mb_Connected` is False and `mobj_FTP` holds the new object in
        whatever stage it stopped, which a later `CUF_Close` or `CUF_Open`
        ends. `KeyboardInterrupt` and `SystemExit` pass unchanged.
        """
    def CUF_Close(self) -> None:
        """End the session: stop the keep-alive, send `QUIT`, clear the session.

        Calls `CUF_StopKeepAliveTimer()` first, then takes the session lock
        (waiting until a transfer under way has ended) and sends `QUIT`. A
        `QUIT` that fails (the connection already dropped, an error reply) is
        absorbed: the sockets are closed without a word to the server. Then
        `mobj_FTP` is None and `mb_Connected` False. Safe in every state and any
        number of times; a closed session can be opened again.

        Returns None.

        Raises only what `CUF_StopKeepAliveTimer` or the connection object's
        fallback `close()` raises; the session then stays as it was. A close
        during the interpreter's finalisation (from a `__del__`) sends `QUIT`
        only if the lock is free, and otherwise just clears the session.
        """
    def CUF_KeepAlive(self) -> bool:
        """Send one `NOOP` now, and say whether it succeeded.

        Without a connection object it returns False at once: no lock taken,
        nothing sent. Otherwise it sends `NOOP` under the session lock (waiting
        until a transfer under way has ended).

        Returns True on a success reply. On any failure (an error reply, a
        broken or timed-out connection) it returns False and marks the session
        Lost (`mb_Connected` False); the connection object is kept. It never
        sets `mb_Connected` back to True: only `CUF_Open` does.

        Raises nothing derived from `Exception`. The keep-alive timer calls it;
        `CUF_CheckAlive` is the same question under the caller's name.
        """
    def CUF_CheckAlive(self) -> bool:
        """Ask the server now whether the session is alive.

        Calls `self.CUF_KeepAlive()` and returns its result: one `NOOP` under
        the session lock, False (and the session marked Lost) when it fails,
        False at once without a connection. `CUF_IsConnected` instead answers
        from the last known state and sends nothing.
        """
    def CUF__OnKeepAliveTimer(self) -> None:
        """The keep-alive timer's callback, run on the timer's thread; not for
        the caller.

        When the chain still runs (`mb_TimerRunning`) and this timer is the
        session's current one, it sends `NOOP` through `CUF_KeepAlive` while
        the session counts as connected (nothing once it is Lost) and arms the
        next timer with the interval read afresh from `mi_KeepAliveInterval`.
        A timer that a stop or a newer start superseded ends its chain without
        sending anything. The `NOOP` waits for the session lock like any other
        command, so the next one goes out one interval after a long transfer
        has ended.

        Returns None. Takes no lock itself; `CUF_KeepAlive` does.
        """
    def CUF_StartKeepAliveTimer(self, Pmi_Interval: float = 30) -> None:
        """Start the keep-alive: a `NOOP` every `Pmi_Interval` seconds.

        Stores `Pmi_Interval` in `mi_KeepAliveInterval`, sets `mb_TimerRunning`
        and arms a `threading.Timer` (a daemon thread, except in an isolated
        sub-interpreter, which refuses them) whose firing sends `NOOP` and arms
        the next one. Sends nothing itself. A chain already running is
        superseded and ends at its next firing. `CUF_Open` calls it; a subclass
        may override it.

        Returns None. Takes no lock.

        Raises `ValueError` for an interval that would not wait (0, a negative
        number, NaN), `TypeError` or `OverflowError` for one a timer cannot
        wait on (the string "1", say), and `RuntimeError` ("can't create new
        thread at interpreter shutdown") once the interpreter's exit has begun,
        leaving `mb_TimerRunning` False.
        """
    def CUF_StopKeepAliveTimer(self) -> None:
        """Stop the keep-alive.

        Sets `mb_TimerRunning` False, cancels the pending timer and sets
        `mobj_KeepAliveTimer` to None. A firing already under way is not
        interrupted: its `NOOP` may still go out, and the one timer it may arm
        ends the chain when it fires. Safe at any time, any number of times.
        To run a session without a keep-alive, call it right after `CUF_Open`.

        Returns None. Takes no lock and sends nothing.
        """
    def CUF_ChangeDir(self, Pms_Path: str) -> None:
        """Change the server's working directory to `Pms_Path` (`CWD`; ftplib
        sends `CDUP` for ".." and `CWD .` for "").

        The working directory belongs to the session, not to a thread: every
        thread's relative names resolve from there afterwards.

        Returns None. Raises `ftplib.error_perm` when the server refuses (no
        such directory), the other ftplib errors, and `AttributeError` without
        a connection. Holds the session lock around the command.
        """
    def CUF_GetCurrentDir(self) -> str:
        """Ask the server for its working directory (`PWD`).

        Returns the path as the server reports it. Raises ftplib's errors, and
        `AttributeError` without a connection. Holds the session lock around
        the command.
        """
    def CUF_ListFiles(self) -> List[str]:
        """List the names in the server's working directory (`NLST`, over a
        data connection).

        Returns the names as ftplib gives them: the server's order, nothing
        added, filtered or sorted. Some servers answer an empty directory with
        an empty list, others with a 5xx reply (`ftplib.error_perm`).

        Raises ftplib's errors (`UnicodeDecodeError` for a name the session's
        encoding cannot read), and `AttributeError` without a connection; the
        next command still gets its own reply (see the class). Holds the
        session lock for the whole listing.
        """
    def CUF_MakeDir(self, Pms_DirName: str) -> None:
        """Create the directory `Pms_DirName` on the server (`MKD`).

        Returns None (not the path the server reports). Raises
        `ftplib.error_perm` when the server refuses (it exists, no permission),
        the other ftplib errors, and `AttributeError` without a connection.
        Holds the session lock around the command.
        """
    def CUF_RemoveDir(self, Pms_DirName: str) -> None:
        """Remove the directory `Pms_DirName` from the server (`RMD`); most
        servers remove only an empty one.

        Returns None. Raises `ftplib.error_perm` when the server refuses (no
        such directory, not empty), the other ftplib errors, and
        `AttributeError` without a connection. Holds the session lock around
        the command.
        """
    def CUF_DeleteFile(self, Pms_FileName: str) -> None:
        """Delete the file `Pms_FileName` on the server (`DELE`).

        Returns None. Raises `ftplib.error_perm` when the server refuses (no
        such file, no permission), the other ftplib errors, and
        `AttributeError` without a connection. Holds the session lock around
        the command.
        """
    def CUF_RenameFile(self, Pms_OldName: str, Pms_NewName: str) -> None:
        """Rename `Pms_OldName` to `Pms_NewName` on the server (`RNFR`, then
        `RNTO`, both under one hold of the session lock).

        Whether an existing `Pms_NewName` is replaced is the server's choice.
        The way to put an upload in place whole: upload under a temporary
        name, then rename it.

        Returns None. Raises `ftplib.error_perm` when the server refuses
        either command, the other ftplib errors, and `AttributeError` without a
        connection.
        """
    def CUF_FileExists(self, Pms_FileName: str) -> bool:
        """Say whether the server knows the file `Pms_FileName` (`TYPE I`, then
        `SIZE`, both under one hold of the session lock).

        Returns True when `SIZE` succeeds (an empty file too), and False when
        the server answers with a 5xx reply, whatever its reason: no such
        file, a directory (on most servers), no permission, `SIZE` not
        supported. `TYPE I` first, since some servers refuse `SIZE` in ASCII
        mode. A preliminary (1xx) reply to `SIZE` is followed by the final
        one, which answers. A False answer is a failed command, so it costs a
        round trip more (see the class).

        Raises `ftplib.error_temp` for a 4xx reply, the other ftplib errors,
        and `AttributeError` without a connection (it does not answer False).
        """
    def CUF_DownloadFile(
        self,
        Pms_RemoteFile: str,
        Pms_LocalFile: str | bytes | os.PathLike[str] | os.PathLike[bytes] | int,
        Pmi_BlockSize: int = 8192,
    ) -> None:
        """Copy the remote file `Pms_RemoteFile` into the local file
        `Pms_LocalFile`, in binary mode (`RETR`).

        The data goes into a new temporary file beside the destination
        (`.<name>.<16 hex digits>.part`, readable by its owner only), which is
        flushed to disk and renamed over the destination only once the
        transfer has succeeded: a failed download leaves the destination as it
        was, or absent, and no temporary file behind. Where the file goes is
        decided before anything is sent, and symbolic links are followed as
        `open(path, "wb")` would follow them. A file descriptor, a device, a
        FIFO, a file that is a mount point, and a file the process may write
        but not replace (another user's file in a sticky folder, a file in a
        folder it may not write) are written directly, as `open(path, "wb")`
        writes them. `Pmi_BlockSize` is the size of each read from the data
        connection: 65536 or more speeds up large files.

        Returns None.

        Raises `OSError` for the local file (before anything is sent when
        `open(path, "wb")` would fail too), `ftplib.error_perm` when the server
        refuses (no such remote file), the other ftplib errors, and
        `AttributeError` without a connection. A transfer that breaks part-way
        raises what broke it (`OSError`, `EOFError`, the caller's own
        exception); the next command still gets its own reply (see the class).

        Holds the session lock for the whole transfer: the keep-alive and the
        session's other threads wait until it has ended.
        """
    def CUF_UploadFile(
        self,
        Pms_LocalFile: str | bytes | os.PathLike[str] | os.PathLike[bytes] | int,
        Pms_RemoteFile: str,
        Pmi_BlockSize: int = 8192,
    ) -> None:
        """Send the local file `Pms_LocalFile` to the server as
        `Pms_RemoteFile`, in binary mode (`STOR`).

        The local file is opened with `open(Pms_LocalFile, "rb")` before
        anything is sent, and closed afterwards (a file descriptor too, as
        `open(fd, "rb")` closes it). Whether an existing remote file is
        replaced is the server's choice; most replace it. An upload cut short
        leaves on the server whatever the server kept: to put a file in place
        whole, upload it under a temporary name and `CUF_RenameFile` it.
        `Pmi_BlockSize` is the size of each read from the local file.

        Returns None.

        Raises `OSError` for the local file (then nothing is sent),
        `ftplib.error_perm` when the server refuses, the other ftplib errors,
        and `AttributeError` without a connection. A transfer that breaks
        part-way raises what broke it (`OSError`, `EOFError`, the caller's own
        exception); the next command still gets its own reply (see the class).

        Holds the session lock for the whole transfer: the keep-alive and the
        session's other threads wait until it has ended.
        """
    def CUF_IsConnected(self) -> bool:
        """Say whether the session counts as connected: `mb_Connected`.

        True from a successful `CUF_Open` until `CUF_Close`, a failed open or
        a failed keep-alive `NOOP`. The last known state, not a probe: it sends
        nothing and takes no lock, so a connection the network dropped counts
        as connected until then. `CUF_CheckAlive` asks the server now.
        """
