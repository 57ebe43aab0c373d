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


def test_first_imported_in_a_sub_interpreter(subinterp):
    """What the first import sets up (the function type) outlives the
    sub-interpreter that made it."""
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


def test_sub_interpreter_imports_leak_nothing(subinterp):
    """Memory blocks kept per sub-interpreter that imports the module and
    runs a session's timer, against one that imports only what the module
    imports.  (From 3.12 the C API makes interned strings immortal, so each
    sub-interpreter keeps its copy of the module's names.)"""
    out = run("""
        import _testcapi, gc, json, sys
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
                _testcapi.run_in_subinterp(code)
            gc.collect()
            before, objects = sys.getallocatedblocks(), len(gc.get_objects())
            for _ in range(60):
                assert _testcapi.run_in_subinterp(code) == 0
            gc.collect()
            per_run[name] = ((sys.getallocatedblocks() - before) / 60,
                             len(gc.get_objects()) - objects)
        print(json.dumps(per_run))
    """)
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
