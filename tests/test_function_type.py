"""The methods are the interpreter's own functions: what tools that ask for a
function see, argument errors against a Python twin, binding, GC."""

import gc
import importlib.util
import inspect
import sys
import types
import weakref
from unittest import mock

import pytest


def twin(f):
    """A Python function with the same qualified name and parameters as f,
    whose argument errors are the reference."""
    params = list(inspect.signature(f).parameters)
    defaults = f.__defaults__ or ()
    required = params[: len(params) - len(defaults)]
    optional = [f"{p}={d!r}" for p, d in zip(params[len(required):], defaults)]
    ns = {}
    exec(f"def {f.__name__}({', '.join(required + optional)}): return 'ran'", ns)
    g = ns[f.__name__]
    g.__qualname__ = f.__qualname__
    return g


def error_of(callable_, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        callable_(*args, **kwargs)
    return str(info.value)


CALLS = [
    ((), {}),
    ((1, 2, 3, 4, 5, 6, 7, 8, 9, 10), {}),
    (("self", "h", 21), {"Pmi_Port": 2}),
    (("self",), {"Pms_Hots": "h"}),
]


class TestArgumentErrors:
    @pytest.mark.parametrize("args,kwargs", CALLS)
    def test_open_errors_match_a_python_function(self, Quorvan, args, kwargs):
        f = Quorvan.CLASS_FTPClient.CUF_Open
        assert error_of(f, *args, **kwargs) == error_of(twin(f), *args, **kwargs)

    def test_every_parameter_by_keyword(self, Quorvan, monkeypatch):
        seen = []

        class Timer:
            def __init__(self, interval, function):
                seen.append(interval)

            def start(self):
                pass

        monkeypatch.setattr(Quorvan, "threading", types.SimpleNamespace(Timer=Timer))
        obj = Quorvan.CLASS_FTPClient.__new__(Quorvan.CLASS_FTPClient)
        Quorvan.CLASS_FTPClient.CUF_StartKeepAliveTimer(self=obj, Pmi_Interval=7)
        obj.CUF_StartKeepAliveTimer()
        assert seen == [7, 30] and obj.mi_KeepAliveInterval == 30


class TestBinding:
    def test_bound_method_is_a_real_method(self, Quorvan):
        cls = Quorvan.CLASS_FTPClient
        obj = cls()
        m = obj.CUF_Open
        assert type(m) is types.MethodType
        assert m.__func__ is vars(cls)["CUF_Open"] and m.__self__ is obj
        assert cls.CUF_Open is vars(cls)["CUF_Open"]
        assert vars(cls)["CUF_Open"].__get__(None, cls) is vars(cls)["CUF_Open"]
        assert inspect.ismethod(m) and inspect.isroutine(cls.CUF_Open)

    def test_subclass_override_is_used_through_self(self, Quorvan):
        class Sub(Quorvan.CLASS_FTPClient):
            def CUF_KeepAlive(self):
                return "overridden"

        assert Sub().CUF_CheckAlive() == "overridden"

    def test_every_method_is_a_function(self, Quorvan):
        cls = Quorvan.CLASS_FTPClient
        members = dict(inspect.getmembers(cls, inspect.isfunction))
        methods = [k for k, v in vars(cls).items() if callable(v)]
        assert len(methods) == 19 and set(members) >= set(methods)
        for name in methods:
            f = members[name]
            assert type(f) is types.FunctionType
            code, params = f.__code__, list(inspect.signature(f).parameters)
            assert list(code.co_varnames[:code.co_argcount]) == params
            # The body is a constant of the code: no global, closure or default.
            assert f.__closure__ is None and code.co_freevars == ()
            assert inspect.getclosurevars(f) == inspect.ClosureVars({}, {}, {}, set())
        assert inspect.getdoc(cls.__init__) == inspect.getdoc(object.__init__)

    def test_code_and_missing_attributes_behave_as_a_functions(self, Quorvan):
        def py(self):
            pass

        f = vars(Quorvan.CLASS_FTPClient)["CUF_IsConnected"]
        for g in (f, py):
            with pytest.raises(TypeError, match="__code__ must be set to a code object"):
                g.__code__ = 5
        code = f.__code__
        try:
            f.__code__ = py.__code__
            assert f(None) is None
        finally:
            f.__code__ = code
        assert f(Quorvan.CLASS_FTPClient()) is False
        body = next(c for c in code.co_consts if callable(c))
        with pytest.raises(TypeError):
            body()  # reachable by anyone: checked, not trusted
        for g in (f, py):
            with pytest.raises(AttributeError) as info:
                g.no_such_attribute
            assert str(info.value) == "'function' object has no attribute 'no_such_attribute'"

    def test_autospec_passes_self_and_checks_signatures(self, Quorvan):
        cls = Quorvan.CLASS_FTPClient
        obj = cls()
        with mock.patch.object(cls, "CUF_DownloadFile", autospec=True) as patched:
            obj.CUF_DownloadFile("remote", "local")
            with pytest.raises(TypeError):
                obj.CUF_DownloadFile("remote", "local", 1, 2)
        patched.assert_called_once_with(obj, "remote", "local")
        spec = mock.create_autospec(cls, instance=True)
        spec.CUF_Open("host", Pmi_Port=2121)
        spec.CUF_Open.assert_called_once_with("host", Pmi_Port=2121)
        for call in (lambda: spec.CUF_Open(), lambda: spec.CUF_Close(1),
                     lambda: spec.CUF_Open("h", Pmi_Prot=1)):
            with pytest.raises(TypeError):
                call()


class TestAttributes:
    def test_globals_and_builtins(self, Quorvan):
        f = Quorvan.CLASS_FTPClient.CUF_Open
        assert f.__globals__ is vars(Quorvan)
        assert f.__builtins__ is vars(Quorvan)["__builtins__"]


class TestGarbageCollection:
    def test_a_dropped_module_is_collected(self, Quorvan):
        # A function holds the module's globals, which hold the class, which
        # holds the function: only the collector can free that cycle, and the
        # bodies in the code's constants (which it cannot see) hold none of it.
        spec = importlib.util.spec_from_file_location("Quorvan", Quorvan.__file__)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        assert module.CLASS_FTPClient is not Quorvan.CLASS_FTPClient
        refs = [weakref.ref(module), weakref.ref(module.CLASS_FTPClient),
                weakref.ref(module.CLASS_FTPClient.CUF_Open)]
        del module, spec
        gc.collect()
        assert [r() for r in refs] == [None, None, None]


class TestRecursion:
    def test_method_calling_itself_raises_recursion_error(self, Quorvan):
        obj = Quorvan.CLASS_FTPClient()
        obj.CUF_KeepAlive = obj.CUF_CheckAlive  # CheckAlive -> self.CUF_KeepAlive -> ...
        with pytest.raises(RecursionError):
            obj.CUF_CheckAlive()
        assert sys.getrecursionlimit() > 0
