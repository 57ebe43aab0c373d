"""The module in sub-interpreters, with its globals deleted, and imported
afresh.  Each case runs in its own process: a sub-interpreter that goes
wrong aborts the whole process."""

import json
import subprocess
import sys
import textwrap

import pytest

BOUND = 120  # seconds for one process

SUBINTERP_RUNS = 30  # a thread left behind aborts the process in a few per cent of ends


def run(script, *args, warnings=()):
    options = [arg for w in warnings for arg in ("-W", w)]
    result = subprocess.run([sys.executable, *options, "-c", textwrap.dedent(script),
                             *map(str, args)], capture_output=True, text=True, timeout=BOUND)
    assert result.returncode == 0 and result.stderr == "", result.stderr[-20000:]
    return json.loads(result.stdout.splitlines()[-1])


@pytest.fixture
def subinterp():
    return pytest.importorskip("_testcapi").run_in_subinterp


SESSION_IN_SUBINTERP = r"""
    import _testcapi, json, sys
    host, port, user, password, folder, work, runs = sys.argv[1:8]
    body = '''
    import Quorvan, json
    s = Quorvan.CLASS_FTPClient()
    out = {"open": s.CUF_Open(%(host)r, %(port)s, %(user)r, %(password)r,
                             Pmi_KeepAliveInterval=0.005)}
    s.CUF_ChangeDir(%(folder)r)
    with open(%(work)r + "/src", "wb") as f:
        f.write(b"sub" * 5000)
    s.CUF_UploadFile(%(work)r + "/src", "f%(i)s")
    s.CUF_DownloadFile("f%(i)s", %(work)r + "/dst")
    with open(%(work)r + "/dst", "rb") as f:
        out["same"] = f.read() == b"sub" * 5000
    out["listed"] = "f%(i)s" in s.CUF_ListFiles()
    out["alive"] = s.CUF_CheckAlive()
    if %(i)s %% 2:
        s.CUF_Close()  # the others end with the keep-alive still running
    with open(%(work)r + "/out", "a") as f:
        f.write(json.dumps(out) + "\\n")
    '''
    values = dict(host=host, port=port, user=user, password=password, folder=folder, work=work)
    codes = [_testcapi.run_in_subinterp(body % dict(values, i=i)) for i in range(int(runs))]
    import Quorvan  # the main interpreter's own instance, after all of them
    s = Quorvan.CLASS_FTPClient()
    main_open = s.CUF_Open(host, int(port))
    s.CUF_Close()
    with open(work + "/out") as f:
        results = [json.loads(line) for line in f]
    print(json.dumps({"codes": codes, "results": results, "main": main_open}))
"""


def test_session_in_sub_interpreters(ftp, subinterp, tmp_path):
    """Sessions opened, used and closed -- or left open with a 5 ms
    keep-alive -- inside sub-interpreters that then end."""
    # The sessions left open are the program's to close; a debug interpreter
    # would report their sockets.
    out = run(SESSION_IN_SUBINTERP, ftp.host, ftp.port, ftp.user, ftp.password, ftp.dirname,
              tmp_path, SUBINTERP_RUNS, warnings=["ignore::ResourceWarning"])
    assert out["codes"] == [0] * SUBINTERP_RUNS
    expected = {"open": True, "same": True, "listed": True, "alive": True}
    assert out["results"] == [expected] * SUBINTERP_RUNS
    assert out["main"] is True


# One session in an interpreter of its own, as a module the interpreter
# imports: opened with a 5 ms keep-alive, used, and closed or left open.  At
# the interpreter's end (its atexit, after its threads are joined) it records
# the timer threads still there.
OWN_GIL_SESSION = r"""
import atexit, json, threading, time
import Quorvan

def session(i, host, port, user, password, folder, work):
    def at_end():
        left = [t.name for t in threading.enumerate() if isinstance(t, threading.Timer)]
        with open(f"{work}/end-{i}", "w") as f:
            json.dump(left, f)
    atexit.register(at_end)
    s = Quorvan.CLASS_FTPClient()
    out = {"open": s.CUF_Open(host, port, user, password, Pmi_KeepAliveInterval=0.005)}
    out["daemon"] = s.mobj_KeepAliveTimer.daemon
    s.CUF_ChangeDir(folder)
    data = b"own" * 5000 + bytes([i])
    with open(f"{work}/src-{i}", "wb") as f:
        f.write(data)
    s.CUF_UploadFile(f"{work}/src-{i}", f"g{i}")
    s.CUF_DownloadFile(f"g{i}", f"{work}/dst-{i}")
    with open(f"{work}/dst-{i}", "rb") as f:
        out["same"] = f.read() == data
    out["listed"] = f"g{i}" in s.CUF_ListFiles()
    out["alive"] = s.CUF_CheckAlive()
    first, deadline = s.mobj_KeepAliveTimer, time.monotonic() + 10
    while s.mobj_KeepAliveTimer is first and time.monotonic() < deadline:
        time.sleep(0.005)
    out["fired"] = s.mobj_KeepAliveTimer is not first  # it sent a NOOP and armed the next
    if i % 2:
        s.CUF_Close()  # the others end with the keep-alive still running
    with open(f"{work}/out-{i}", "w") as f:
        json.dump(out, f)
    return out
"""

# Interpreters with their own GIL, several at once on parallel threads, each
# running one session and then ended; from 3.14 also the workers of an
# InterpreterPoolExecutor.
OWN_GIL_INTERPRETERS = r"""
    import json, sys, threading
    host, port, user, password, folder, work, count = sys.argv[1:8]
    args = (host, int(port), user, password, folder, work)
    count = int(count)
    sys.path.insert(0, work)
    # An interpreter starts with the path the process started with.
    # 3.12 frees a block twice at the end of a process in which an own-GIL
    # interpreter imported ssl (this module or not); ftplib goes without it.
    code = (f"import sys; sys.path.insert(0, {work!r})\n"
            + ("sys.modules['ssl'] = None\n" if sys.version_info < (3, 13) else "")
            + "import own_gil_session; own_gil_session.session({}, *%r)" % (args,))
    if sys.version_info >= (3, 14):
        from concurrent import interpreters
        def in_interpreter(i):
            interp = interpreters.create()
            interp.exec(code.format(i))
            interp.close()
    else:
        try:
            import _interpreters as raw
        except ImportError:
            import _xxsubinterpreters as raw
        def in_interpreter(i):
            interp = raw.create()  # the isolated configuration: a GIL of its own
            failure = (getattr(raw, "exec", None) or raw.run_string)(interp, code.format(i))
            raw.destroy(interp)
            assert failure is None, failure
    errors = []
    def worker(i):
        try:
            in_interpreter(i)
        except BaseException as e:
            errors.append(repr(e))
    threads = [threading.Thread(target=worker, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    pool = []
    if sys.version_info >= (3, 14):
        from concurrent.futures import InterpreterPoolExecutor
        import own_gil_session, site
        with InterpreterPoolExecutor(max_workers=2, initializer=site.addsitedir,
                                     initargs=(work,)) as executor:
            pool = list(executor.map(own_gil_session.session, range(count, 2 * count),
                                     *[[a] * count for a in args], timeout=60))
    def load(name):
        try:
            with open(f"{work}/{name}") as f:
                return json.load(f)
        except FileNotFoundError:
            return None
    runs = range(2 * count if pool else count)
    results, ends = [load(f"out-{i}") for i in runs], [load(f"end-{i}") for i in runs]
    print(json.dumps({"errors": errors, "alive": [t.is_alive() for t in threads],
                      "results": results, "pool": pool, "ends": ends}))
"""


@pytest.mark.skipif(sys.version_info < (3, 12), reason="an own GIL came with 3.12")
def test_sessions_in_own_gil_interpreters(ftp, tmp_path):
    """Keep-alive timers are not daemon threads there (such an interpreter
    refuses them), and each interpreter's end stops and joins them."""
    (tmp_path / "own_gil_session.py").write_text(OWN_GIL_SESSION)
    count = 4
    out = run(OWN_GIL_INTERPRETERS, ftp.host, ftp.port, ftp.user, ftp.password, ftp.dirname,
              tmp_path, count, warnings=["ignore::ResourceWarning"])
    assert out["errors"] == [] and out["alive"] == [False] * count
    expected = {"open": True, "daemon": False, "same": True, "listed": True, "alive": True,
                "fired": True}
    runs = 2 * count if sys.version_info >= (3, 14) else count
    assert out["results"] == [expected] * runs
    assert out["pool"] == ([expected] * count if runs > count else [])
    assert out["ends"] == [[]] * runs  # no timer thread outlived its interpreter's threads
    # Each session's CUF_CheckAlive, and at least one firing of its timers.
    assert [command for _, command, _ in ftp.commands()].count("NOOP") >= 2 * runs


# A sub-interpreter that ends while its session's keep-alive waits for a NOOP
# reply that the server holds back for 6 s, within the session's time-out.
SLOW_NOOP_AT_END = r"""
import json, sys, time
host, port, own_gil = sys.argv[1], sys.argv[2], sys.argv[3] == "True"
code = '''
import Quorvan, time
s = Quorvan.CLASS_FTPClient()
s.CUF_Open(%r, %s, Pmi_Timeout=20, Pmi_KeepAliveInterval=0.01)
deadline = time.monotonic() + 10
while not s.mobj_Lock.locked() and time.monotonic() < deadline:
    time.sleep(0.005)
assert s.mobj_Lock.locked()  # a firing holds it, waiting for the reply
''' % (host, port)
if own_gil:
    try:
        import _interpreters as raw
    except ImportError:
        import _xxsubinterpreters as raw
    interp = raw.create()
    if sys.version_info < (3, 13):  # see OWN_GIL_INTERPRETERS
        code = "import sys; sys.modules['ssl'] = None\n" + code
    started = time.monotonic()
    failure = (getattr(raw, "exec", None) or raw.run_string)(interp, code)
    raw.destroy(interp)
    result = 0 if failure is None else repr(failure)
else:
    import _testcapi
    started = time.monotonic()
    result = _testcapi.run_in_subinterp(code)
print(json.dumps([result, time.monotonic() - started]))
"""


@pytest.mark.parametrize("own_gil", [False, True], ids=["shared GIL", "own GIL"])
def test_end_during_a_slow_noop(ftp, subinterp, own_gil):
    """The end waits for the command under way instead of aborting the
    process, and arms no further timer."""
    if own_gil and sys.version_info < (3, 12):
        pytest.skip("an own GIL came with 3.12")
    ftp.set_faults([{"cmd": "NOOP", "action": "delay", "seconds": 6}])
    result, seconds = run(SLOW_NOOP_AT_END, ftp.host, ftp.port, own_gil,
                          warnings=["ignore::ResourceWarning"])
    assert result == 0 and 5 < seconds < 20
    assert [command for _, command, _ in ftp.commands()].count("NOOP") == 1


def test_first_imported_in_a_sub_interpreter(subinterp):
    """Imports in sub-interpreters that then end leave the main
    interpreter's own import whole (each makes its own functions)."""
    out = run("""
        import _testcapi, gc, inspect, json
        code = "import Quorvan, inspect; inspect.signature(Quorvan.CLASS_FTPClient.CUF_Open)"
        codes = [_testcapi.run_in_subinterp(code) for _ in range(3)]
        gc.collect()
        import Quorvan
        f = Quorvan.CLASS_FTPClient.CUF_DownloadFile
        print(json.dumps({"codes": codes, "qualname": f.__qualname__,
                          "signature": str(inspect.signature(f)), "doc": f.__doc__}))
    """)
    assert out["codes"] == [0, 0, 0]
    assert out["qualname"] == "CLASS_FTPClient.CUF_DownloadFile"
    assert out["signature"] == ("(self, Pms_RemoteFile: str, Pms_LocalFile: str, "
                                "Pmi_BlockSize: int = 8192) -> None")
    assert "binary" in out["doc"]


@pytest.mark.parametrize("own_gil", [False, True], ids=["shared GIL", "own GIL"])
def test_sub_interpreter_imports_leak_nothing(subinterp, own_gil):
    """Memory blocks kept per sub-interpreter that imports the module and
    runs a session's timer, against one that imports only what the module
    imports.  (From 3.12 the C API makes interned strings immortal, so each
    sub-interpreter keeps its copy of the module's names.)"""
    if own_gil and sys.version_info < (3, 12):
        pytest.skip("an own GIL came with 3.12")
    out = run("""
        import _testcapi, gc, json, sys
        if sys.argv[1] == "True":
            try:
                import _interpreters as raw
            except ImportError:
                import _xxsubinterpreters as raw
            def run_in_subinterp(code):
                interp = raw.create()  # the isolated configuration
                # 3.12 breaks at exit once ssl was imported there (see above).
                if sys.version_info < (3, 13):
                    code = "import sys; sys.modules['ssl'] = None\\n" + code
                failure = (getattr(raw, "exec", None) or raw.run_string)(interp, code)
                raw.destroy(interp)
                return 0 if failure is None else failure
        else:
            run_in_subinterp = _testcapi.run_in_subinterp
        codes = {
            "baseline": "import ftplib, threading, typing",
            "module": "import Quorvan\\n"
                      "s = Quorvan.CLASS_FTPClient()\\n"
                      "s.CUF_StartKeepAliveTimer(3600)\\n"
                      "s.CUF_Close()",
        }
        per_run = {}
        for name, code in codes.items():
            for _ in range(10):
                run_in_subinterp(code)
            gc.collect()
            before, objects = sys.getallocatedblocks(), len(gc.get_objects())
            for _ in range(60):
                assert run_in_subinterp(code) == 0
            gc.collect()
            per_run[name] = ((sys.getallocatedblocks() - before) / 60,
                             len(gc.get_objects()) - objects)
        print(json.dumps(per_run))
    """, own_gil)
    extra_blocks = out["module"][0] - out["baseline"][0]
    names_interned = 100
    assert extra_blocks < (1 if sys.version_info < (3, 12) else names_interned), out
    assert out["module"][1] <= 0, out  # no object of the main interpreter kept


DELETED_GLOBALS = r"""
    import ftplib, importlib.util, json, sys
    host, port = sys.argv[1], int(sys.argv[2])
    import Quorvan
    old = Quorvan
    s = Quorvan.CLASS_FTPClient()
    for name in ("FTP", "error_perm", "threading"):
        delattr(Quorvan, name)

    def outcome(call):
        try:
            return ["returned", repr(call())]
        except Exception as e:
            return [type(e).__name__, str(e)]

    found = {
        "__init__": outcome(Quorvan.CLASS_FTPClient),
        "CUF_Open": outcome(lambda: s.CUF_Open(host, port)),
        "CUF_StartKeepAliveTimer": outcome(lambda: s.CUF_StartKeepAliveTimer(5)),
    }
    # FTP and threading back for one open, error_perm not
    Quorvan.FTP, Quorvan.threading = ftplib.FTP, sys.modules["threading"]
    s.CUF_Open(host, port)
    found["CUF_FileExists, missing"] = outcome(lambda: s.CUF_FileExists("no such file"))
    found["CUF_GetCurrentDir"] = outcome(s.CUF_GetCurrentDir)
    del Quorvan.threading
    found["CUF__OnKeepAliveTimer"] = outcome(s.CUF__OnKeepAliveTimer)
    found["CUF_Close"] = outcome(s.CUF_Close)

    # A fresh instance of the module, two ways; the spoiled one stays as it is.
    spec = importlib.util.find_spec("Quorvan")
    by_spec = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(by_spec)
    del sys.modules["Quorvan"]
    import Quorvan as by_import
    for name, module in (("by spec", by_spec), ("by import", by_import)):
        t = module.CLASS_FTPClient()
        found[name] = [module is not old, t.CUF_Open(host, port), t.CUF_FileExists("nope"),
                       t.CUF_GetCurrentDir(), t.CUF_Close()]
    found["old module"] = outcome(old.CLASS_FTPClient)
    print(json.dumps(found))
"""


def test_deleted_globals_and_a_fresh_import(ftp):
    found = run(DELETED_GLOBALS, ftp.host, ftp.port)
    undefined = "name '{}' is not defined"
    assert found == {
        "__init__": ["NameError", undefined.format("threading")],
        "CUF_Open": ["RuntimeError", "FTP Open failed: " + undefined.format("FTP")],
        "CUF_StartKeepAliveTimer": ["NameError", undefined.format("threading")],
        "CUF_FileExists, missing": ["NameError", undefined.format("error_perm")],
        "CUF_GetCurrentDir": ["returned", "'/'"],
        "CUF__OnKeepAliveTimer": ["NameError", undefined.format("threading")],
        "CUF_Close": ["returned", "None"],
        "by spec": [True, True, False, "/", None],
        "by import": [True, True, False, "/", None],
        "old module": ["NameError", undefined.format("threading")],
    }
