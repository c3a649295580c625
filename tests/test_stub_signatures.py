"""The type stubs describe the functions as the runtime takes them: for every
function a stub declares, public or underscore-named, the parameter names,
their order, their kinds (positional-only, positional-or-keyword, keyword-only,
*args, **kwargs) and their default values match the signature that nanobind
reports for the native function."""
import ast
import importlib
import inspect
import os
import re
from pathlib import Path

import pytest

import tarvik_cmd

PACKAGE = Path(tarvik_cmd.__file__).parent
STUBS = sorted(p for p in PACKAGE.glob("*.pyi") if p.stem != "__init__")

ANY_DEFAULT = object()  # a stub default written as "..."
NO_DEFAULT = inspect.Parameter.empty


def _placeholder(match):
    return f"__default_{match.group(1)}__"


def native_parameters(fn):
    """[(name, kind, default)] of a nanobind function, from the signature text
    and default values that nanobind keeps for stub generation."""
    (text, _doc, defaults), *overloads = fn.__nb_signature__
    assert not overloads, f"{fn.__name__} is overloaded; compare its overloads by hand"
    # Defaults appear as \0, \1, ... in the text; annotations may name C++ types
    # nanobind cannot spell in Python, so only the parameter list is parsed.
    text = re.sub(r"\\(\d+)", _placeholder, text)
    head = text[text.index("(") + 1:text.rindex(")")]
    tree = ast.parse(f"def f({_strip_annotations(head)}): pass").body[0]
    values = {f"__default_{i}__": v for i, v in enumerate(defaults or ())}
    return _parameters(tree.args, lambda node: values[node.id])


def _strip_annotations(params):
    """Drops ': annotation' from a parameter list, keeping '= default'."""
    out, depth, skipping = [], 0, False
    for ch in params:
        if ch in "[(":
            depth += 1
        elif ch in "])":
            depth -= 1
        if depth == 0 and ch == ":":
            skipping = True
            continue
        if depth == 0 and ch in ",=":
            skipping = False
        if not skipping:
            out.append(ch)
    return "".join(out)


def stub_parameters(node):
    def value(default):
        if isinstance(default, ast.Constant) and default.value is Ellipsis:
            return ANY_DEFAULT
        return ast.literal_eval(default)

    return _parameters(node.args, value)


def _parameters(args, default_value):
    kinds = inspect.Parameter
    positional = [(a, kinds.POSITIONAL_ONLY) for a in args.posonlyargs]
    positional += [(a, kinds.POSITIONAL_OR_KEYWORD) for a in args.args]
    defaults = [NO_DEFAULT] * (len(positional) - len(args.defaults)) + [default_value(d) for d in args.defaults]
    params = [(a.arg, kind, d) for (a, kind), d in zip(positional, defaults)]
    if args.vararg:
        params.append((args.vararg.arg, kinds.VAR_POSITIONAL, NO_DEFAULT))
    for a, d in zip(args.kwonlyargs, args.kw_defaults):
        params.append((a.arg, kinds.KEYWORD_ONLY, NO_DEFAULT if d is None else default_value(d)))
    if args.kwarg:
        params.append((args.kwarg.arg, kinds.VAR_KEYWORD, NO_DEFAULT))
    return params


def drift(stub, runtime):
    """Differences between two parameter lists, one line each; none when they match."""
    lines = []
    if [(n, k) for n, k, _ in stub] != [(n, k) for n, k, _ in runtime]:
        lines.append("parameters (name, kind) differ:\n"
                     f"    stub:    {[(n, k.description) for n, k, _ in stub]}\n"
                     f"    runtime: {[(n, k.description) for n, k, _ in runtime]}")
        return lines
    for (name, _, declared), (_, _, actual) in zip(stub, runtime):
        if declared is ANY_DEFAULT and actual is not NO_DEFAULT:
            continue
        if declared is not actual and (type(declared) is not type(actual) or declared != actual):
            show = lambda v: "no default" if v is NO_DEFAULT else "..." if v is ANY_DEFAULT else repr(v)
            lines.append(f"{name}: stub default {show(declared)}, runtime default {show(actual)}")
    return lines


def stub_functions(stub):
    return [node for node in ast.parse(stub.read_text()).body if isinstance(node, ast.FunctionDef)]


def is_native(fn):
    return type(fn).__module__ == "nanobind" and hasattr(fn, "__nb_signature__")


@pytest.mark.parametrize("stub", STUBS, ids=lambda p: p.name)
def test_stub_functions_take_the_parameters_the_runtime_takes(stub):
    module = importlib.import_module(f"tarvik_cmd.{stub.stem}")
    problems = []
    for node in stub_functions(stub):
        fn = getattr(module, node.name, None)
        if fn is None:
            problems.append(f"{node.name}: declared in the stub, missing at runtime")
            continue
        runtime = native_parameters(fn) if is_native(fn) else [
            (p.name, p.kind, p.default) for p in inspect.signature(fn).parameters.values()]
        problems += [f"{node.name}: {line}" for line in drift(stub_parameters(node), runtime)]
    assert not problems, f"{stub.name} drifts from the runtime:\n" + "\n".join(problems)


def test_every_function_a_module_takes_from_the_native_module_has_a_stub():
    missing = []
    for stub in STUBS:
        module = importlib.import_module(f"tarvik_cmd.{stub.stem}")
        declared = {node.name for node in stub_functions(stub)}
        for name, value in vars(module).items():
            if is_native(value) and not name.startswith("__") and name not in declared:
                missing.append(f"{stub.name}: {name}")
    assert not missing, "functions without a stub declaration:\n" + "\n".join(missing)


def test_the_comparison_notices_each_kind_of_drift():
    def params(source):
        return stub_parameters(ast.parse(source).body[0])

    base = params("def f(a: int, b: str = 'x', *, c: int = 2) -> None: ...")
    assert drift(base, base) == []
    assert drift(params("def f(a, b='x', *, c=...): ..."), base) == []
    assert drift(params("def f(a, b='x', c=2): ..."), base)        # kind
    assert drift(params("def f(b='x', a=1, *, c=2): ..."), base)   # order
    assert drift(params("def f(a, bb='x', *, c=2): ..."), base)    # name
    assert drift(params("def f(a, b='y', *, c=2): ..."), base)     # default value
    assert drift(params("def f(a, b, *, c=2): ..."), base)         # default missing
    assert drift(params("def f(a, b='x', *, c=True): ..."), params("def f(a, b='x', *, c=1): ..."))


def test_the_batch_script_waits_for_this_process_unless_told_another(tmp_path):
    from tarvik_cmd import auto_update as au

    default = Path(au._generate_update_bat(str(tmp_path), r"C:\T", [])).read_text()
    assert f'"PID eq {os.getpid()}"' in default
    given = Path(au._generate_update_bat(str(tmp_path), r"C:\T", [], None, None, 4242)).read_text()
    assert '"PID eq 4242"' in given and f'"PID eq {os.getpid()}"' not in given
