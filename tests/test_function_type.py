"""The methods' function objects, compared with the interpreter's own
functions: binding, argument errors, mutable attributes, pickling, GC."""

import copy
import gc
import importlib.util
import inspect
import pickle
import sys
import types
import weakref

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
    (("self",), {}),
    ((1, 2, 3, 4, 5, 6, 7, 8, 9, 10), {}),
    (("self", "h", 21), {"Pmi_Port": 2}),
    (("self",), {"nope": 1}),
    (("self",), {"Pms_Host": "h", "Pmi_Timeout": 1, "bogus": 2}),
    ((), {"Pms_Host": "h"}),
    (("self", 1, 2, 3, 4, 5, 6, 7, 8, 9), {"Pms_Host": 1}),
    # Misspelt keywords: from 3.13 on the interpreter may suggest a parameter.
    (("self",), {"Pms_Hots": "h"}),
    (("self",), {"pms_host": "h"}),
    (("self", "h"), {"sel": 1}),
    (("self", "h"), {"Pmi_KeepAliveIntervall": 1}),
    (("self", "h"), {"Pmi_KeepAlive": 1}),
    (("self", "h"), {"Pmi_Port_" + "x" * 40: 1}),
    (("self", "h"), {"Pms_Hóst": 1}),
    (("self", "h"), {"Pms_H\udc80st": 1}),
]


class TestArgumentErrors:
    @pytest.mark.parametrize("args,kwargs", CALLS)
    def test_open_errors_match_a_python_function(self, Quorvan, args, kwargs):
        f = Quorvan.CLASS_FTPClient.CUF_Open
        assert error_of(f, *args, **kwargs) == error_of(twin(f), *args, **kwargs)

    @pytest.mark.parametrize("name", ["CUF_Close", "CUF_RenameFile", "CUF_DownloadFile",
                                      "CUF_StartKeepAliveTimer"])
    def test_errors_for_other_shapes(self, Quorvan, name):
        f = getattr(Quorvan.CLASS_FTPClient, name)
        g = twin(f)
        for args, kwargs in [((), {}), ((1, 2, 3, 4, 5, 6), {}), ((1,), {"self": 2}),
                             ((1,), {"Pms_x": 2}), ((), {"Pms_OldName": 1})]:
            assert error_of(f, *args, **kwargs) == error_of(g, *args, **kwargs)

    def test_bound_method_counts_self(self, Quorvan):
        obj = Quorvan.CLASS_FTPClient()
        assert error_of(obj.CUF_Close, 1) == "CLASS_FTPClient.CUF_Close() takes 1 positional argument but 2 were given"
        assert error_of(obj.CUF_RenameFile, "a") == (
            "CLASS_FTPClient.CUF_RenameFile() missing 1 required positional argument: 'Pms_NewName'")

    def test_errors_raised_before_the_body(self, Quorvan, monkeypatch):
        calls = []
        monkeypatch.setattr(Quorvan, "FTP", lambda: calls.append("FTP"))
        obj = Quorvan.CLASS_FTPClient()
        with pytest.raises(TypeError):
            obj.CUF_Open("h", 1, Pmi_Port=2)
        assert calls == [] and obj.mobj_FTP is None

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

    def test_repr(self, Quorvan):
        f = Quorvan.CLASS_FTPClient.CUF_Close
        assert repr(f).startswith("<function CLASS_FTPClient.CUF_Close at 0x")


class TestAttributes:
    def test_defaults_are_read_at_call_time(self, Quorvan, monkeypatch):
        f = Quorvan.CLASS_FTPClient.CUF_StartKeepAliveTimer
        monkeypatch.setattr(f, "__defaults__", (5,))
        intervals = []

        class Timer:
            def __init__(self, interval, function):
                intervals.append(interval)

            def start(self):
                pass

        monkeypatch.setattr(Quorvan, "threading", types.SimpleNamespace(Timer=Timer))
        obj = Quorvan.CLASS_FTPClient.__new__(Quorvan.CLASS_FTPClient)
        obj.CUF_StartKeepAliveTimer()
        assert intervals == [5]
        assert str(inspect.signature(f)) == "(self, Pmi_Interval: int = 5) -> None"
        f.__defaults__ = None
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'Pmi_Interval'"):
            obj.CUF_StartKeepAliveTimer()
        assert str(inspect.signature(f)) == "(self, Pmi_Interval: int) -> None"

    def test_attribute_assignment_rules_match_functions(self, Quorvan):
        def py():
            pass

        f = Quorvan.CLASS_FTPClient.CUF_Close
        for attr, value in [("__defaults__", [1]), ("__kwdefaults__", 1), ("__annotations__", 1),
                            ("__name__", 1), ("__qualname__", None)]:
            with pytest.raises(TypeError) as ours:
                setattr(f, attr, value)
            with pytest.raises(TypeError) as theirs:
                setattr(py, attr, value)
            assert str(ours.value) == str(theirs.value)
        for attr in ("__globals__", "__builtins__", "__closure__"):
            with pytest.raises(AttributeError):
                setattr(f, attr, {})
        actions = []
        if hasattr(py, "__type_params__"):
            actions += [lambda g: setattr(g, "__type_params__", [1]),
                        lambda g: delattr(g, "__type_params__")]
        if hasattr(py, "__annotate__"):
            actions += [lambda g: setattr(g, "__annotate__", 1),
                        lambda g: delattr(g, "__annotate__")]
        for action in actions:
            with pytest.raises(TypeError) as ours:
                action(f)
            with pytest.raises(TypeError) as theirs:
                action(py)
            assert str(ours.value) == str(theirs.value)

    def test_attribute_names_are_those_of_a_python_function(self, Quorvan):
        def py(self):
            pass

        names = set(dir(Quorvan.CLASS_FTPClient.CUF_Close))
        assert names ^ set(dir(py)) == {"__code__", "__signature__"}

    def test_assignable_attributes_round_trip(self, Quorvan):
        f = vars(Quorvan.CLASS_FTPClient)["CUF_IsConnected"]
        saved = f.__name__, f.__qualname__, f.__doc__, f.__module__, f.__annotations__
        saved_annotate = getattr(f, "__annotate__", None)
        try:
            f.__name__, f.__qualname__, f.__doc__, f.__module__ = "n", "q", "d", "m"
            f.__annotations__ = {"return": int}
            f.__kwdefaults__ = {"x": 1}
            if sys.version_info >= (3, 12):
                assert f.__type_params__ == ()
                f.__type_params__ = ("T",)
                assert f.__type_params__ == ("T",)
            assert (f.__name__, f.__qualname__, f.__doc__, f.__module__) == ("n", "q", "d", "m")
            assert f.__kwdefaults__ == {"x": 1}
            f.__annotations__ = None
            assert f.__annotations__ == {}  # recreated on read, as for a function
            if sys.version_info >= (3, 14):
                self.check_annotate_rules(f)
            f.custom = 3
            assert f.__dict__ == {"custom": 3}
            del f.custom
            f.__kwdefaults__ = None
        finally:
            f.__name__, f.__qualname__, f.__doc__, f.__module__, f.__annotations__ = saved
            if sys.version_info >= (3, 12):
                f.__type_params__ = ()
            if sys.version_info >= (3, 14):
                f.__annotate__ = saved_annotate
        assert f.__kwdefaults__ is None and f.__closure__ is None

    @staticmethod
    def check_annotate_rules(f):
        """__annotate__ and __annotations__ follow each other as for a Python function."""
        def py(x: int) -> str:
            pass

        for g in (f, py):
            g.__annotate__ = lambda format: {"x": format}
            assert g.__annotations__ == {"x": 1}  # VALUE, then cached
            g.__annotate__ = None
            assert g.__annotations__ == {"x": 1}
            g.__annotations__ = {"y": str}
            assert g.__annotate__ is None
            g.__annotate__ = lambda format: 5
        with pytest.raises(TypeError) as ours:
            f.__annotations__
        with pytest.raises(TypeError) as theirs:
            py.__annotations__
        assert str(ours.value) == str(theirs.value)
        f.__annotations__ = None

    def test_globals_and_builtins(self, Quorvan):
        f = Quorvan.CLASS_FTPClient.CUF_Open
        assert f.__globals__ is vars(Quorvan)
        assert f.__builtins__ is vars(Quorvan)["__builtins__"]

    def test_assigned_signature_wins(self, Quorvan):
        f = Quorvan.CLASS_FTPClient.CUF_IsConnected
        f.__signature__ = inspect.Signature()
        try:
            assert str(inspect.signature(f)) == "()"
        finally:
            del f.__signature__
        assert str(inspect.signature(f)) == "(self) -> bool"

    def test_weakref_pickle_copy(self, Quorvan):
        f = Quorvan.CLASS_FTPClient.CUF_Open
        assert weakref.ref(f)() is f
        assert pickle.loads(pickle.dumps(f)) is f
        assert pickle.loads(pickle.dumps(f, protocol=2)) is f
        assert copy.copy(f) is f and copy.deepcopy(f) is f


class TestGarbageCollection:
    def test_a_dropped_module_is_collected(self, Quorvan):
        # A function holds the module's globals, which hold the class, which
        # holds the function: only the collector can free that cycle.
        spec = importlib.util.spec_from_file_location("Quorvan", Quorvan.__file__)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        assert module.CLASS_FTPClient is not Quorvan.CLASS_FTPClient
        refs = [weakref.ref(module.CLASS_FTPClient), weakref.ref(module.CLASS_FTPClient.CUF_Open)]
        del module, spec
        gc.collect()
        assert [r() for r in refs] == [None, None]

    def test_gc_sees_the_references(self, Quorvan):
        f = Quorvan.CLASS_FTPClient.CUF_Open
        referents = gc.get_referents(f)
        assert vars(Quorvan) in referents
        assert f.__annotations__ in referents and f.__defaults__ in referents


class TestRecursion:
    def test_method_calling_itself_raises_recursion_error(self, Quorvan):
        obj = Quorvan.CLASS_FTPClient()
        obj.CUF_KeepAlive = obj.CUF_CheckAlive  # CheckAlive -> self.CUF_KeepAlive -> ...
        with pytest.raises(RecursionError):
            obj.CUF_CheckAlive()
        assert sys.getrecursionlimit() > 0
