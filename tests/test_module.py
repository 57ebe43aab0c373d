"""The module namespace, the class and the declared surface of its methods."""

import ftplib
import inspect
import os
import subprocess
import sys
import textwrap
import threading
import typing

import pytest

from bench import peer

# The oracle: the same class written in Python.  Its one helper of its own
# is not a method of the module's class.
ORACLE = {name: f for name, f in vars(peer.CLASS_FTPClient).items()
          if inspect.isfunction(f) and name != "_arm_timer"}
METHODS = list(ORACLE)


def run_python(code, timeout=60, env=None):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, env=env)


class TestNamespace:
    def test_globals_are_the_imported_objects(self, Quorvan):
        assert Quorvan.__doc__ is None
        assert Quorvan.FTP is ftplib.FTP
        assert Quorvan.error_perm is ftplib.error_perm
        assert Quorvan.threading is threading
        assert Quorvan.List is typing.List
        assert not hasattr(Quorvan, "ftplib") and not hasattr(Quorvan, "typing")

    def test_nothing_else_is_bound_in_this_order(self):
        # In a fresh interpreter: other tests rebind globals, which reorders them.
        result = run_python("""
            import Quorvan
            print([k for k in vars(Quorvan) if not (k.startswith("__") and k.endswith("__"))])
            print(type(vars(Quorvan)["__builtins__"]).__name__)
        """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.split("\n")[:2] == [
            "['FTP', 'error_perm', 'threading', 'List', 'CLASS_FTPClient']", "dict"]

    def test_only_export_is_the_init_function(self, Quorvan):
        out = subprocess.run(["nm", "-D", "--defined-only", Quorvan.__file__],
                             capture_output=True, text=True, check=True).stdout
        assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit_Quorvan"]


class TestClass:
    def test_plain_class_made_by_type(self, Quorvan):
        cls = Quorvan.CLASS_FTPClient
        assert type(cls) is type
        assert cls.__bases__ == (object,)
        assert cls.__doc__ is None
        assert cls.__name__ == cls.__qualname__ == "CLASS_FTPClient"
        assert cls.__module__ == "Quorvan"

    def test_methods_stand_in_table_order(self, Quorvan):
        keys = list(vars(Quorvan.CLASS_FTPClient))
        assert keys[0] == "__module__"
        assert keys[1:20] == METHODS
        assert set(keys[20:]) <= {"__dict__", "__weakref__", "__doc__"}

    @pytest.mark.parametrize("name", METHODS)
    def test_method_surface(self, Quorvan, name):
        ours, theirs = vars(Quorvan.CLASS_FTPClient)[name], ORACLE[name]
        assert (ours.__name__, ours.__qualname__) == (theirs.__name__, theirs.__qualname__)
        assert ours.__module__ == "Quorvan"
        assert ours.__defaults__ == theirs.__defaults__
        # Same value and type: True must not pass for 1.
        assert [type(d) for d in ours.__defaults__ or ()] == [
            type(d) for d in theirs.__defaults__ or ()]
        assert ours.__kwdefaults__ is theirs.__kwdefaults__ is None
        assert ours.__annotations__ == theirs.__annotations__
        assert list(ours.__annotations__) == list(theirs.__annotations__)  # key order
        assert inspect.signature(ours) == inspect.signature(theirs)
        assert typing.get_type_hints(ours) == typing.get_type_hints(theirs)
        doc = theirs.__doc__
        if doc is not None and sys.version_info >= (3, 13):
            # 3.13's compiler strips a docstring's indentation; the module
            # keeps its docstrings as earlier versions compiled them.
            doc = "\n        " + doc.strip() + "\n        "
        assert ours.__doc__ == doc

    def test_annotation_dicts_are_separate(self, Quorvan):
        cls = Quorvan.CLASS_FTPClient
        dicts = [vars(cls)[name].__annotations__ for name in METHODS]
        assert len({id(d) for d in dicts}) == len(dicts)
        cls.CUF_Close.__annotations__["extra"] = int
        try:
            assert "extra" not in cls.CUF_StopKeepAliveTimer.__annotations__
        finally:
            del cls.CUF_Close.__annotations__["extra"]

    @pytest.mark.parametrize("name", METHODS)
    def test_help_and_annotations_match_a_python_class(self, Quorvan, name):
        # help() words and wraps signatures differently from one version to
        # the next; the reference is what it prints for the same method in
        # Python.  From 3.14 annotations come through __annotate__ in formats.
        import functools
        import pydoc
        ours, theirs = getattr(Quorvan.CLASS_FTPClient, name), ORACLE[name]
        assert pydoc.plaintext.document(ours) == pydoc.plaintext.document(theirs)
        wrapper = functools.wraps(ours)(lambda *args: None)
        assert wrapper.__annotations__ == theirs.__annotations__
        if sys.version_info >= (3, 14):
            import annotationlib
            assert (ours.__annotate__ is None) == (theirs.__annotate__ is None)
            for format in (annotationlib.Format.VALUE, annotationlib.Format.FORWARDREF,
                           annotationlib.Format.STRING):
                assert (annotationlib.get_annotations(ours, format=format)
                        == annotationlib.get_annotations(theirs, format=format)), format


class TestImport:
    def test_failing_import_leaves_no_module(self):
        result = run_python("""
            import builtins, sys
            real = builtins.__import__
            def broken(name, *args, **kwargs):
                if name == "threading" and args and args[0].get("__name__") == "Quorvan":
                    raise ImportError("no threading today")
                return real(name, *args, **kwargs)
            builtins.__import__ = broken
            try:
                import Quorvan
            except ImportError as e:
                print("raised", e)
            print("Quorvan" in sys.modules)
            builtins.__import__ = real
            import Quorvan
            print(Quorvan.CLASS_FTPClient.__name__)
        """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.split("\n")[:3] == ["raised no threading today", "False", "CLASS_FTPClient"]

    def test_import_arguments(self):
        result = run_python("""
            import builtins
            real = builtins.__import__
            seen = []
            def spy(name, globals=None, locals=None, fromlist=(), level=0):
                if globals is not None and globals.get("__name__") == "Quorvan":
                    seen.append((name, locals, fromlist, level))
                return real(name, globals, locals, fromlist, level)
            builtins.__import__ = spy
            import Quorvan
            builtins.__import__ = real
            print(seen)
        """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == (
            "[('ftplib', None, ('FTP', 'error_perm'), 0), ('threading', None, None, 0), "
            "('typing', None, ('List',), 0)]")

    def test_failing_list_subscription_stops_before_the_class(self):
        # From 3.14 annotations are evaluated when first read, as for a class
        # written in Python.
        result = run_python("""
            import sys, typing
            class Boom:
                def __getitem__(self, item):
                    raise LookupError("no List[str]")
            typing.List = Boom()
            try:
                import Quorvan
                Quorvan.CLASS_FTPClient.CUF_ListFiles.__annotations__
            except LookupError as e:
                print("raised", e, "Quorvan" in sys.modules)
        """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "raised no List[str] " + str(sys.version_info >= (3, 14))

    def test_missing_name_in_ftplib_is_an_import_error(self):
        # The reference is a real `from ftplib import error_perm`; from 3.12
        # its display suggests a close name (through ImportError.name_from).
        result = run_python("""
            import ftplib, sys, traceback
            del ftplib.error_perm
            def described(e):
                return (type(e).__name__, e.name, e.path, getattr(e, "name_from", None),
                        traceback.format_exception_only(e))
            try:
                import Quorvan
            except ImportError as e:
                ours = described(e)
            try:
                from ftplib import error_perm
            except ImportError as e:
                theirs = described(e)
            print(ours == theirs, ours[4][-1].startswith(
                "ImportError: cannot import name 'error_perm' from 'ftplib' ("), "Quorvan" in sys.modules)
            print(ours)
            print(theirs)
        """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines()[0] == "True True False", result.stdout

    def test_imported_under_a_package_name(self, tmp_path, Quorvan):
        pkg = tmp_path / "pkg"
        pkg.mkdir()
        (pkg / "__init__.py").write_text("")
        os.symlink(Quorvan.__file__, pkg / os.path.basename(Quorvan.__file__))
        env = dict(os.environ, PYTHONPATH=str(tmp_path))
        result = run_python("""
            import pkg.Quorvan as q
            c = q.CLASS_FTPClient
            print(c.__module__, c.CUF_Open.__module__, q.__name__)
        """, env=env)
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "pkg.Quorvan pkg.Quorvan pkg.Quorvan"

    def test_sub_interpreters(self):
        # Interpreters that share the main GIL load and use the module, and
        # from 3.12 on so does one with a GIL of its own.
        result = run_python("""
            import sys
            try:
                import _testcapi
            except ImportError:
                print("no _testcapi")
                raise SystemExit
            code = '''if 1:
                import Quorvan, inspect
                s = Quorvan.CLASS_FTPClient()
                s.CUF_Close()
                print(s.CUF_IsConnected(), inspect.signature(s.CUF_Close))
            '''
            print([_testcapi.run_in_subinterp(code) for _ in range(2)])
            if sys.version_info >= (3, 12):
                try:
                    import _interpreters as interpreters
                    run = interpreters.exec
                except ImportError:
                    import _xxsubinterpreters as interpreters
                    run = interpreters.run_string
                run(interpreters.create(), '''if 1:
                    try:
                        import Quorvan
                    except ImportError as e:
                        print("refused:", e)
                    else:
                        print("own GIL:", Quorvan.CLASS_FTPClient().CUF_IsConnected())
                ''')
            import Quorvan
            print(Quorvan.CLASS_FTPClient().CUF_IsConnected())
        """)
        assert result.returncode == 0, result.stderr
        lines = result.stdout.splitlines()
        if lines == ["no _testcapi"]:
            pytest.skip("this interpreter has no _testcapi")
        expected = ["False () -> None"] * 2 + ["[0, 0]"]
        if sys.version_info >= (3, 12):
            expected.append("own GIL: False")
        assert lines == expected + ["False"]
