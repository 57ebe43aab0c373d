"""The type stub shipped beside the module says what the module does: the
same names, the same methods with the same parameters and defaults, the
run-time annotations or a consistent widening of them, attribute types that
the live values have, and a docstring for each method, which the class
reference and the README's links follow."""

import ast
import importlib.machinery
import importlib.util
import inspect
import re
import threading
import types
import typing
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent

# threading.Lock is a factory before 3.13; as an annotation it means the
# type of the locks it makes.
LOCK_TYPE = type(threading.Lock())


@pytest.fixture
def stub_source(Quorvan):
    return Path(Quorvan.__file__).with_name("Quorvan.pyi").read_text(encoding="utf-8")


@pytest.fixture
def stub(stub_source):
    tree = ast.parse(stub_source, filename="Quorvan.pyi")
    namespace = {}
    imports = [node for node in tree.body if isinstance(node, (ast.Import, ast.ImportFrom))]
    exec(compile(ast.Module(body=imports, type_ignores=[]), "Quorvan.pyi", "exec"), namespace)
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    return tree, namespace, classes


def evaluate(node, namespace):
    value = eval(compile(ast.Expression(node), "<stub>", "eval"), dict(namespace))
    return LOCK_TYPE if value is threading.Lock else value


def accepts(declared, annotation):
    """A type checker takes a value of `annotation` where `declared` is
    wanted: the same type, a union holding it, or float for int."""
    members = typing.get_args(declared) if isinstance(declared, types.UnionType) else (declared,)
    return any(m == annotation or (m is float and annotation is int) for m in members)


def test_module_names(stub, Quorvan):
    tree, namespace, classes = stub
    runtime = {k: v for k, v in vars(Quorvan).items() if not k.startswith("__")}
    # A stub exports what it binds, and what it imports only as "import x as x".
    reexported = [a.asname for n in tree.body if isinstance(n, (ast.Import, ast.ImportFrom))
                  for a in n.names if a.asname == a.name.rpartition(".")[2]]
    variables = {n.target.id: evaluate(n.annotation, namespace)
                 for n in tree.body if isinstance(n, ast.AnnAssign)}
    assert sorted([*reexported, *variables, *classes]) == sorted(runtime)
    assert all(runtime[name] is namespace[name] for name in reexported)
    for name, declared in variables.items():  # type[X]: a class, X or a subclass of it
        assert issubclass(runtime[name], declared.__args__[0]), name
    assert list(classes) == ["CLASS_FTPClient"]


def test_methods_match_the_runtime_signatures(stub, Quorvan):
    _, namespace, classes = stub
    cls = Quorvan.CLASS_FTPClient
    functions = [n for n in classes["CLASS_FTPClient"].body if isinstance(n, ast.FunctionDef)]
    runtime_names = [k for k in vars(cls) if inspect.isroutine(vars(cls)[k])]
    widened = {}
    assert [f.name for f in functions] == runtime_names and len(functions) == 19
    assert ast.get_docstring(classes["CLASS_FTPClient"])
    for f in functions:
        args = f.args
        assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg), f.name
        assert not f.decorator_list, f.name
        runtime = inspect.signature(getattr(cls, f.name))
        defaults = [ast.literal_eval(d) for d in args.defaults]
        declared = []
        for i, a in enumerate(args.args):
            d = i - (len(args.args) - len(defaults))
            declared.append((
                a.arg,
                defaults[d] if d >= 0 else inspect.Parameter.empty,
                evaluate(a.annotation, namespace) if a.annotation else inspect.Parameter.empty,
            ))
        actual = [(p.name, p.default, p.annotation) for p in runtime.parameters.values()]
        assert [d[:2] for d in declared] == [a[:2] for a in actual], f.name
        for (name, _, stub_type), (_, _, annotation) in zip(declared, actual):
            # The stub may widen a parameter to what the method accepts, the
            # same way wherever the name occurs, never narrow or change it.
            assert stub_type == widened.setdefault(name, stub_type), (f.name, name)
            assert accepts(stub_type, annotation), (f.name, name)
        # Documented in the stub, every parameter by name (the run-time
        # docstrings are short, or None).
        doc = ast.get_docstring(f) or ""
        assert doc and all(f"`{a.arg}`" in doc for a in args.args[1:]), f.name
        # Same value and type: True must not pass for 1, nor 21 for 21.0.
        assert [type(d[1]) for d in declared] == [type(a[1]) for a in actual], f.name
        returns = evaluate(f.returns, namespace)
        if runtime.return_annotation is inspect.Signature.empty:
            # A stub must say what __init__ returns; the class body does not.
            assert (f.name, returns) == ("__init__", None)
        else:
            assert returns == runtime.return_annotation, f.name
    attributes = {n.target.id: evaluate(n.annotation, namespace)
                  for n in classes["CLASS_FTPClient"].body if isinstance(n, ast.AnnAssign)}
    # The attribute holds what CUF_Open was given.
    assert attributes["mi_KeepAliveInterval"] == widened["Pmi_KeepAliveInterval"]


def test_attributes_have_the_declared_types(stub, Quorvan, ftp):
    _, namespace, classes = stub
    declared = {
        n.target.id: evaluate(n.annotation, namespace)
        for n in classes["CLASS_FTPClient"].body if isinstance(n, ast.AnnAssign)
    }
    session = Quorvan.CLASS_FTPClient()
    assert list(declared) == list(vars(session))
    try:
        for state in ("new", "open", "closed"):
            if state == "open":
                assert session.CUF_Open(ftp.host, ftp.port) is True
            elif state == "closed":
                session.CUF_Close()
            for name, expected in declared.items():
                value = getattr(session, name)
                # isinstance takes a bool for an int; the stub must say which it is.
                assert (type(value) is expected if expected in (int, str)
                        else type(value) in (int, float) if expected is float
                        else isinstance(value, expected)), (state, name)
    finally:
        session.CUF_Close()


def test_documentation_follows_the_stub(stub, stub_source):
    """docs/reference.md is rendered from the stub's docstrings, the README
    links every method to its entry there, and every link between the
    project's Markdown files finds its file and its heading."""
    path = ROOT / "scripts" / "reference"
    loader = importlib.machinery.SourceFileLoader("reference", str(path))
    reference = importlib.util.module_from_spec(importlib.util.spec_from_loader("reference", loader))
    loader.exec_module(reference)
    assert (ROOT / "docs" / "reference.md").read_text(encoding="utf-8") == \
        reference.render(stub_source), "docs/reference.md is not current: run scripts/reference"

    def prose(file):  # without fenced code, where "#" starts a comment
        return re.sub(r"^```.*?^```", "", file.read_text(encoding="utf-8"), flags=re.M | re.S)

    readme = prose(ROOT / "README.md")
    _, _, classes = stub
    for f in classes["CLASS_FTPClient"].body:
        if isinstance(f, ast.FunctionDef):
            link = f"[`{f.name}`](docs/reference.md#{reference.anchor(reference.method_heading(f.name))})"
            assert link in readme, f.name
    for file in [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]:
        for target in re.findall(r"\]\(([^)\s]+)\)", prose(file)):
            if "://" in target:
                continue
            name, _, fragment = target.partition("#")
            linked = (file.parent / name).resolve() if name else file
            assert linked.exists(), (file.name, target)
            if fragment and linked.suffix == ".md":
                headings = re.findall(r"^#+ +(.*?) *$", prose(linked), flags=re.M)
                assert fragment in map(reference.anchor, headings), (file.name, target)
