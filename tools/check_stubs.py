"""Checks the type stubs shipped beside the native modules against the modules themselves.

    python tools/check_stubs.py [MODULE ...]     (default: both native modules)

The stub read is the one installed beside each module, so run this with the interpreter whose
build is to be checked (the development .venv, or a fresh environment holding only the wheel).

What must agree, for every module, class, function, method and property:
- names: every public name of the module or class is in the stub; every name in the stub exists;
  a re-export (`import x as x`, `from m import n as n`) is that very object;
- signatures: parameter names (but those of positional-only parameters), kinds
  (positional-only, keyword-only, *args, **kwargs) and default values, from `__nb_signature__`
  for nanobind functions and from `inspect.signature` (`__text_signature__`) for the C API's;
  a stub default written `...` stands for any default;
- docstrings: the stub carries each docstring exactly as the module does (after cleandoc);
- attributes: class constants have the annotated builtin type; instance attributes exist on a
  sample instance (SAMPLES below).

Types of parameters are not compared: the bindings take most arguments as plain objects and
check them themselves (so that a wrong type raises the contract's own TypeError), so the stubs
carry the precise types of the contract and the modules cannot contradict them. nanobind's
stubgen writes `object | None` for those parameters, which is why the stubs are not generated.
"""

from __future__ import annotations

import ast
import importlib
import inspect
import re
import sys
from pathlib import Path

MODULES = ["talmek.workers.scrivel", "talmek.core.steerix"]

# How to make one instance of a class whose stub declares instance attributes.
SAMPLES = {
    "talmek.core.steerix.Steerix": lambda cls: cls("sample-key", executor=object()),
    "talmek.core.steerix.ComputerUseEvent": lambda cls: cls("sample", {}),
}

BUILTIN_TYPES = {"int": int, "float": float, "str": str, "bool": bool, "bytes": bytes}
NB_DEFAULT = re.compile(r"\\(\d+)")
ANY_DEFAULT = object()  # a stub default of `...`
NO_DEFAULT = inspect.Parameter.empty


class Drift(Exception):
    pass


# ---------------------------------------------------------------------------------------------
# Signatures as comparable tuples: (name, kind, default) per parameter.


def params_of_signature(sig: inspect.Signature) -> list[tuple]:
    return [(p.name, p.kind, p.default) for p in sig.parameters.values()]


def params_of_ast(args: ast.arguments, defaults_of=None) -> list[tuple]:
    """Parameters of a `def` parsed from a stub or from a nanobind signature text."""
    P = inspect.Parameter

    def value(node):
        if defaults_of is not None:
            return defaults_of(node)
        if isinstance(node, ast.Constant) and node.value is Ellipsis:
            return ANY_DEFAULT
        try:
            return ast.literal_eval(node)
        except ValueError:
            return ast.unparse(node)

    positional = [(a, P.POSITIONAL_ONLY) for a in args.posonlyargs]
    positional += [(a, P.POSITIONAL_OR_KEYWORD) for a in args.args]
    firsts = len(positional) - len(args.defaults)
    out = []
    for i, (a, kind) in enumerate(positional):
        out.append((a.arg, kind, value(args.defaults[i - firsts]) if i >= firsts else NO_DEFAULT))
    if args.vararg:
        out.append((args.vararg.arg, P.VAR_POSITIONAL, NO_DEFAULT))
    for a, d in zip(args.kwonlyargs, args.kw_defaults, strict=True):
        out.append((a.arg, P.KEYWORD_ONLY, NO_DEFAULT if d is None else value(d)))
    if args.kwarg:
        out.append((args.kwarg.arg, P.VAR_KEYWORD, NO_DEFAULT))
    return out


def nanobind_overloads(obj) -> list[tuple[list[tuple], str | None]] | None:
    """[(parameters, docstring)] per overload of a nanobind function, or None for others."""
    sigs = getattr(obj, "__nb_signature__", None)
    if sigs is None:
        return None
    out = []
    for text, doc, defaults in sigs:
        source = NB_DEFAULT.sub(lambda m: f"__nb_default_{m.group(1)}__", text) + ": ..."
        try:
            fn = ast.parse(source).body[0]
        except SyntaxError as exc:
            raise Drift(f"cannot read nanobind signature {text!r}: {exc}") from None

        def default(node, defaults=defaults):
            if isinstance(node, ast.Name) and node.id.startswith("__nb_default_"):
                return defaults[int(node.id.removeprefix("__nb_default_").rstrip("_"))]
            return ast.literal_eval(node)

        out.append((params_of_ast(fn.args, default), doc))
    return out


def runtime_overloads(obj, *, drop_self: bool) -> list[tuple[list[tuple], str | None]]:
    nb = nanobind_overloads(obj)
    if nb is None:
        try:
            sig = inspect.signature(obj)
        except (TypeError, ValueError) as exc:
            raise Drift(f"has no readable signature ({exc})") from None
        nb = [(params_of_signature(sig), clean(obj.__doc__))]
    if drop_self:
        nb = [(params[1:], doc) for params, doc in nb]
    return [(params, clean(doc)) for params, doc in nb]


def constructor_overloads(cls) -> list[tuple[list[tuple], str | None]]:
    """The class's call signature: nanobind's __init__ (self dropped), the class's own
    __text_signature__ (C API), or a Python __init__."""
    init = cls.__dict__.get("__init__")
    if init is not None and hasattr(init, "__nb_signature__"):
        return runtime_overloads(init, drop_self=True)
    if getattr(cls, "__text_signature__", None) or inspect.isfunction(init):
        return [(params_of_signature(inspect.signature(cls)), None)]
    raise Drift("has no readable constructor signature")


def clean(doc):
    return inspect.cleandoc(doc) if doc else None


def show(params) -> str:
    def one(name, kind, default):
        prefix = {inspect.Parameter.VAR_POSITIONAL: "*", inspect.Parameter.VAR_KEYWORD: "**"}
        text = prefix.get(kind, "") + name
        if kind == inspect.Parameter.POSITIONAL_ONLY:
            text += " (positional-only)"
        if kind == inspect.Parameter.KEYWORD_ONLY:
            text += " (keyword-only)"
        if default is not NO_DEFAULT:
            text += f"={'...' if default is ANY_DEFAULT else repr(default)}"
        return text

    return "(" + ", ".join(one(*p) for p in params) + ")"


def same_params(stub, live) -> bool:
    if len(stub) != len(live):
        return False
    for (sn, sk, sd), (ln, lk, ld) in zip(stub, live, strict=True):
        # A positional-only parameter's name is no part of the interface: callers cannot use it.
        if sk != lk or (sn != ln and sk != inspect.Parameter.POSITIONAL_ONLY):
            return False
        if sd is ANY_DEFAULT:
            if ld is NO_DEFAULT:
                return False
        elif sd is NO_DEFAULT or ld is NO_DEFAULT:
            if sd is not ld:
                return False
        elif type(sd) is not type(ld) or sd != ld:
            return False
    return True


# ---------------------------------------------------------------------------------------------
# The comparison


def decorators(node) -> set[str]:
    return {ast.unparse(d) for d in getattr(node, "decorator_list", [])}


class Checker:
    def __init__(self, module_name: str):
        self.module = importlib.import_module(module_name)
        self.name = module_name
        self.stub_path = Path(self.module.__file__).with_name(
            module_name.rsplit(".", 1)[1] + ".pyi"
        )
        self.problems: list[str] = []
        self.namespace: dict = {}

    def problem(self, where: str, text: str) -> None:
        self.problems.append(f"{self.stub_path.name}: {where}: {text}")

    def run(self) -> list[str]:
        if not self.stub_path.exists():
            return [f"{self.name}: no stub at {self.stub_path}"]
        tree = ast.parse(self.stub_path.read_text(), str(self.stub_path))
        self.docstring(self.name, ast.get_docstring(tree), self.module.__doc__)
        seen = set()
        functions: dict[str, list[ast.FunctionDef]] = {}
        for node in tree.body:
            if isinstance(node, (ast.Import, ast.ImportFrom)):
                self.reexports(node, seen)
            elif isinstance(node, ast.FunctionDef):
                functions.setdefault(node.name, []).append(node)
            elif isinstance(node, ast.ClassDef):
                seen.add(node.name)
                self.klass(node)
            elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
                seen.add(node.target.id)
                self.attribute(self.name, self.module, node, None)
        for name, nodes in functions.items():
            seen.add(name)
            self.function(name, getattr(self.module, name, None), nodes, drop_self=False)
        for name in vars(self.module):
            if not name.startswith("_") and name not in seen:
                self.problem(name, "the module has it, the stub does not")
        return self.problems

    def reexports(self, node, seen) -> None:
        for alias in node.names:
            shown = alias.asname or alias.name.split(".")[0]
            if isinstance(node, ast.Import):
                target = importlib.import_module(alias.name)
                if alias.asname is None:
                    self.namespace[shown] = importlib.import_module(shown)
                    continue
            else:
                target = getattr(importlib.import_module(node.module), alias.name)
            self.namespace[shown] = target
            if alias.asname != alias.name.rsplit(".", 1)[-1]:
                continue  # a plain import for the stub's own annotations, not a re-export
            seen.add(shown)
            if getattr(self.module, shown, None) is not target:
                self.problem(
                    shown,
                    f"the stub re-exports {ast.unparse(node)!r}, the module "
                    f"has {getattr(self.module, shown, '(nothing)')!r}",
                )

    def docstring(self, where: str, stub_doc, live_doc) -> None:
        stub_doc, live_doc = clean(stub_doc), clean(live_doc)
        if stub_doc != live_doc:
            self.problem(
                where, f"docstring differs:\n    stub:   {stub_doc!r}\n    module: {live_doc!r}"
            )

    def function(self, where, live, nodes, *, drop_self) -> None:
        if live is None:
            self.problem(where, "in the stub, not in the module")
            return
        if not callable(live):
            self.problem(where, f"the stub says function, the module has {type(live).__name__}")
            return
        try:
            overloads = runtime_overloads(live, drop_self=drop_self)
        except Drift as exc:
            self.problem(where, str(exc))
            return
        stub_nodes = [
            n for n in nodes if "overload" in decorators(n) or "typing.overload" in decorators(n)
        ] or nodes[-1:]
        if len(stub_nodes) != len(overloads):
            self.problem(
                where, f"{len(stub_nodes)} signatures in the stub, {len(overloads)} in the module"
            )
            return
        for node, (live_params, live_doc) in zip(stub_nodes, overloads, strict=True):
            stub_params = params_of_ast(node.args)
            if drop_self and "staticmethod" not in decorators(node):
                stub_params = stub_params[1:]
            if not same_params(stub_params, live_params):
                self.problem(
                    where,
                    f"signature differs:\n    stub:   {show(stub_params)}\n"
                    f"    module: {show(live_params)}",
                )
            self.docstring(where, ast.get_docstring(node), live_doc)

    def klass(self, node: ast.ClassDef) -> None:
        cls = getattr(self.module, node.name, None)
        where = node.name
        if not isinstance(cls, type):
            self.problem(
                where,
                "the stub says class, the module has "
                f"{type(cls).__name__ if cls is not None else 'nothing'}",
            )
            return
        self.docstring(where, ast.get_docstring(node), cls.__doc__)
        seen = set()
        methods: dict[str, list[ast.FunctionDef]] = {}
        instance = None
        for item in node.body:
            if isinstance(item, ast.FunctionDef):
                methods.setdefault(item.name, []).append(item)
            elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
                seen.add(item.target.id)
                if item.target.id not in vars(cls) and not any(
                    item.target.id in vars(base) for base in cls.__mro__[1:-1]
                ):
                    if instance is None:
                        instance = self.sample(cls, where)
                        if instance is None:
                            continue
                    self.attribute(f"{where}.{item.target.id}", instance, item, cls)
                else:
                    self.attribute(f"{where}.{item.target.id}", cls, item, cls)
        for name, nodes in methods.items():
            seen.add(name)
            label = f"{where}.{name}"
            if name == "__init__":
                try:
                    live = constructor_overloads(cls)
                except Drift as exc:
                    self.problem(label, str(exc))
                    continue
                stub_params = params_of_ast(nodes[-1].args)[1:]
                if not same_params(stub_params, live[0][0]):
                    self.problem(
                        label,
                        f"signature differs:\n    stub:   {show(stub_params)}\n"
                        f"    module: {show(live[0][0])}",
                    )
                continue
            raw = inspect.getattr_static(cls, name, None)
            if "property" in decorators(nodes[0]):
                if (
                    raw is None
                    or not hasattr(raw, "__get__")
                    or not (hasattr(raw, "__set__") or isinstance(raw, property))
                ):
                    self.problem(
                        label,
                        "the stub says property, the module has "
                        f"{type(raw).__name__ if raw is not None else 'nothing'}",
                    )
                    continue
                doc = raw.__doc__
                if doc is None and isinstance(raw, property) and raw.fget is not None:
                    doc = (nanobind_overloads(raw.fget) or [(None, None)])[0][1]
                self.docstring(label, ast.get_docstring(nodes[0]), doc)
                continue
            drop_self = not isinstance(raw, staticmethod)
            live = getattr(cls, name, None)
            self.function(label, live, nodes, drop_self=drop_self)
        for name in vars(cls):
            if not name.startswith("_") and name not in seen:
                self.problem(f"{where}.{name}", "the class has it, the stub does not")

    def sample(self, cls, where):
        make = SAMPLES.get(f"{self.name}.{cls.__name__}")
        if make is None:
            self.problem(
                where,
                "the stub declares instance attributes; add a sample instance "
                "to SAMPLES in tools/check_stubs.py to check them",
            )
            return None
        try:
            return make(cls)
        except Exception as exc:  # noqa: BLE001 - reported, the other checks go on
            self.problem(where, f"the sample instance could not be made: {exc!r}")
            return None

    def attribute(self, where, owner, node: ast.AnnAssign, cls) -> None:
        name = node.target.id
        try:
            value = inspect.getattr_static(owner, name)
        except AttributeError:
            self.problem(where, "in the stub, not in the module")
            return
        if hasattr(value, "__get__") and not isinstance(value, (int, float, str, bytes)):
            return  # a descriptor: its value exists only on instances
        wanted = BUILTIN_TYPES.get(ast.unparse(node.annotation))
        if wanted is None:
            try:
                wanted = eval(ast.unparse(node.annotation), dict(self.namespace))
            except Exception:  # noqa: BLE001 - a generic annotation: existence is enough
                return
        try:
            wrong = isinstance(wanted, type) and not isinstance(value, wanted)
        except TypeError:  # typing.Any and its like cannot be checked with isinstance
            wrong = False
        if wrong:
            self.problem(
                where,
                f"annotated {ast.unparse(node.annotation)}, the module has {type(value).__name__}",
            )


def main(argv=None) -> int:
    names = (argv if argv is not None else sys.argv[1:]) or MODULES
    problems = []
    for name in names:
        problems += Checker(name).run()
    for problem in problems:
        print(f"check-stubs: {problem}", file=sys.stderr)
    if not problems:
        print(f"check-stubs: {', '.join(names)}: stubs match the modules")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
