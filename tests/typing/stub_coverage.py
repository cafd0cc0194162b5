"""Check that the installed stubs describe exactly the runtime's public API.

Run by scripts/check-typing with the interpreter of a venv in which the wheel
is installed. Finds tarvella-stubs/__init__.pyi beside the installed module,
reads it with ast, and compares, for the module and for each class, the
names the stubs declare with the names the runtime has; each class and each
member it declares must carry a doc string (on one of its overloads), which
is what an editor shows on hover, and no signature may name a private type
(an alias such as `_Parts[E]`), which hover would show instead of the type it
stands for. Exits non-zero and lists the differences if they disagree.
"""

import ast
import pathlib
import sys

import tarvella

# Every class has these; they are not members a stub declares.
CLASS_ATTRIBUTES = {"__doc__", "__module__"}
# The interpreter adds the reflected operators to any class that fills the
# `>>` and `|` slots. They return NotImplemented unless the left operand is
# an instance of the class itself, so `5 >> r` and `0 | m` always fail; the
# stubs leave them out so that the type checker rejects those expressions.
REFLECTED = {"__rrshift__", "__ror__"}


def private_names(function):
    """The private names (one leading underscore, not dunder) that the
    annotations, type parameters and defaults of `function` mention."""
    parts = [function.args, function.returns, *function.type_params]
    found = set()
    for part in filter(None, parts):
        for node in ast.walk(part):
            name = node.id if isinstance(node, ast.Name) else (
                node.attr if isinstance(node, ast.Attribute) else None)
            if name and name.startswith("_") and not name.startswith("__"):
                found.add(name)
    return found


def stub_names(path):
    """(__all__, {class name: set of member names}, names without a doc
    string, {member: private names in its signature}) declared in the stub
    file."""
    tree = ast.parse(path.read_text(encoding="utf-8"), str(path))
    declared_all, classes, undocumented, private = None, {}, set(), {}
    for node in tree.body:
        if isinstance(node, ast.Assign) and any(
            isinstance(t, ast.Name) and t.id == "__all__" for t in node.targets
        ):
            declared_all = ast.literal_eval(node.value)
        elif isinstance(node, ast.ClassDef):
            # Members declared under `if not MYPY:` count as well.
            functions = [item for item in ast.walk(node)
                         if isinstance(item, (ast.FunctionDef, ast.AsyncFunctionDef))]
            for function in functions:
                if names := private_names(function):
                    private.setdefault(f"{node.name}.{function.name}", set()).update(names)
            classes[node.name] = {f.name for f in functions}
            if not ast.get_docstring(node):
                undocumented.add(node.name)
            documented = {f.name for f in functions if ast.get_docstring(f)}
            undocumented |= {f"{node.name}.{f.name}" for f in functions} - {
                f"{node.name}.{name}" for name in documented}
    return declared_all, classes, undocumented, private


def main():
    module_dir = pathlib.Path(tarvella.__file__).parent
    stub = module_dir / "tarvella-stubs" / "__init__.pyi"
    if not stub.is_file():
        print(f"stub_coverage: no stubs installed beside {tarvella.__file__}")
        return 1
    declared_all, classes, undocumented, private = stub_names(stub)
    problems = []
    if sorted(declared_all or ()) != sorted(tarvella.__all__):
        problems.append(f"__all__: stubs {declared_all!r}, runtime {tarvella.__all__!r}")
    if set(classes) != set(tarvella.__all__):
        problems.append(f"classes: stubs {sorted(classes)}, runtime {sorted(tarvella.__all__)}")
    count = 0
    for name in tarvella.__all__:
        cls = getattr(tarvella, name)
        runtime = set(vars(cls)) - CLASS_ATTRIBUTES - REFLECTED
        declared = classes.get(name, set())
        count += len(runtime)
        for member in sorted(runtime - declared):
            problems.append(f"{name}.{member}: at runtime, missing from the stubs")
        # A stub may restate an inherited member (Result.__new__ does, to
        # refuse Result(...)), but not invent one.
        for member in sorted(m for m in declared if not hasattr(cls, m)):
            problems.append(f"{name}.{member}: in the stubs, absent at runtime")
    problems += [f"{name}: no doc string in the stubs" for name in sorted(undocumented)]
    problems += [f"{name}: its signature names private {', '.join(sorted(names))}"
                 for name, names in sorted(private.items())]
    if problems:
        print("stub_coverage: the stubs and the runtime disagree:")
        print("\n".join(f"  {p}" for p in problems))
        return 1
    print(f"stub_coverage: {stub} declares all {count} members of "
          f"{' and '.join(tarvella.__all__)}, and nothing more, each with a doc string "
          f"and a signature of public types only")
    return 0


if __name__ == "__main__":
    sys.exit(main())
