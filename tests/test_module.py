"""Module and class facts: names, doc strings, signatures, instance layout,
re-import and the module's execution step."""

import gc
import importlib.util
import sys
import types
import weakref

import pytest

import tarvella
from tarvella import MayBe, Result

RESULT_DOC = "Result monad: Ok(value) | Err(message, code?, details?)"

# (name, binding, text signature, description after the signature)
RESULT_MEMBERS = [
    ("ok", "static", "(value)", "Constructeur Ok"),
    ("err", "static", "(message, code=None, details=None)",
     "Constructeur Err avec message, code optionnel, details optionnel"),
    ("from_dict", "static", "(dict)",
     "from_dict(d) : construit un Result depuis un dict (inverse de to_dict)"),
    ("is_ok", "instance", "($self)", "True si Ok"),
    ("is_err", "instance", "($self)", "True si Err"),
    ("unwrap", "instance", "($self)", "Unwrap value ou ValueError si Err"),
    ("expect", "instance", "($self, message)",
     "expect(message) : comme unwrap mais avec message personnalisé"),
    ("unwrap_or", "instance", "($self, default)",
     "unwrap_or(default) renvoie value ou default si Err"),
    ("unwrap_err", "instance", "($self)",
     "unwrap_err() retourne (msg, code, details) ou ValueError si Ok"),
    ("to_option", "instance", "($self)", "to_option() : retourne la valeur ou None"),
    ("match", "instance", "($self, ok=None, err=None)",
     "match(ok=..., err=...) : pattern matching ergonomique"),
    ("map", "instance", "($self, func)", "map(fn) : applique fn à Ok, laisse Err intact"),
    ("map_err", "instance", "($self, func)",
     "map_err(fn) : applique fn à Err, laisse Ok intact\n"
     "fn reçoit (msg, code, details) et doit retourner (msg, code, details)"),
    ("flat_map", "instance", "($self, func)",
     "flat_map(fn) : applique fn à Ok et attend un Result en retour"),
    ("and_then", "instance", "($self, func)", "and_then : alias de flat_map"),
    ("to_dict", "instance", "($self)",
     'to_dict() : sérialisation en dict Python\n'
     'Ok  -> {"ok": true, "value": ...}\n'
     'Err -> {"ok": false, "error": msg, "code": ..., "details": ...}'),
    ("__class_getitem__", "class", "($cls, _item)",
     "Support pour Result[T, E] (typage générique)"),
]

MAYBE_MEMBERS = [
    ("just", "static", "(obj)", "Constructeur Just"),
    ("nothing", "static", "()", "Constructeur Nothing"),
    ("is_just", "instance", "($self)", "True si Just, False si Nothing"),
    ("is_nothing", "instance", "($self)", "True si Nothing, False si Just"),
    ("unwrap", "instance", "($self)", "Unwrap ou ValueError si Nothing"),
    ("expect", "instance", "($self, message)",
     "expect(message) : comme unwrap mais avec message personnalisé"),
    ("to_option", "instance", "($self)", "to_option() : retourne la valeur ou None"),
    ("match", "instance", "($self, just=None, nothing=None)",
     "match(just=..., nothing=...) : pattern matching ergonomique"),
    ("or_else", "instance", "($self, default)",
     "or_else(default) renvoie la valeur interne ou default"),
    ("map", "instance", "($self, func)",
     "map(fn) : applique fn à la valeur interne et wrappe dans un nouveau MayBe"),
    ("flat_map", "instance", "($self, func)",
     "flat_map(fn) : applique fn à la valeur et attend un MayBe en retour"),
    ("__class_getitem__", "class", "($cls, _item)",
     "Support pour MayBe[T] (typage générique)"),
]

MEMBERS = ([(Result, *row) for row in RESULT_MEMBERS]
           + [(MayBe, *row) for row in MAYBE_MEMBERS])

SLOTS = {
    Result: {"__bool__", "__repr__", "__len__", "__iter__", "__rshift__", "__or__"},
    MayBe: {"__new__", "__bool__", "__repr__", "__len__", "__iter__", "__rshift__", "__or__"},
}


def test_module_attributes():
    assert tarvella.__all__ == ["MayBe", "Result"]
    assert type(tarvella.__all__) is list
    assert tarvella.__doc__ == ""
    assert [n for n in dir(tarvella) if not n.startswith("_")] == ["MayBe", "Result"]


@pytest.mark.parametrize("cls, name", [(Result, "Result"), (MayBe, "MayBe")])
def test_class_names(cls, name):
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__bases__ == (object,)


def test_class_docs():
    assert Result.__doc__ == RESULT_DOC
    assert Result.__text_signature__ is None
    assert MayBe.__doc__ == ""
    assert MayBe.__text_signature__ == "(obj)"


@pytest.mark.parametrize("cls, name, binding, signature, doc", MEMBERS,
                         ids=[f"{c.__name__}.{r[0]}" for c, *r in MEMBERS])
def test_member_signature_and_doc(cls, name, binding, signature, doc):
    member = getattr(cls, name)
    assert member.__text_signature__ == signature
    assert member.__doc__ == doc
    raw = vars(cls)[name]
    if binding == "static":
        assert isinstance(raw, staticmethod)
    else:
        kind = "method_descriptor" if binding == "instance" else "classmethod_descriptor"
        assert type(raw).__name__ == kind


@pytest.mark.parametrize("cls, table", [(Result, RESULT_MEMBERS), (MayBe, MAYBE_MEMBERS)])
def test_class_has_exactly_its_members(cls, table):
    public = {n for n in vars(cls) if not n.startswith("__")}
    assert public == {row[0] for row in table if not row[0].startswith("__")}
    assert SLOTS[cls] <= set(vars(cls))
    for absent in ("__eq__", "__hash__", "__str__", "__contains__", "__getitem__", "__dict__"):
        assert absent not in vars(cls)


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1,), {}), ((), {"value": 1})])
def test_result_cannot_be_instantiated(args, kwargs):
    with pytest.raises(TypeError, match="builtins.Result"):
        Result(*args, **kwargs)
    with pytest.raises(TypeError):
        object.__new__(Result)


@pytest.mark.parametrize("cls", [Result, MayBe])
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


INSTANCES = [
    lambda: Result.ok(1), lambda: Result.err("m", code="c", details=[1]),
    lambda: MayBe(1), lambda: MayBe.just(None), lambda: MayBe.nothing(),
    lambda: Result.ok(1).map(str), lambda: MayBe.just(1).flat_map(MayBe.just),
]


@pytest.mark.parametrize("make", INSTANCES)
def test_instance_layout(make):
    inst = make()
    name = f"builtins.{type(inst).__name__}"
    with pytest.raises(AttributeError):
        inst.__dict__
    with pytest.raises(AttributeError, match=name):
        inst.colour = 1
    with pytest.raises(AttributeError, match=name):
        inst.missing
    with pytest.raises(AttributeError):
        inst.unwrap = None
    with pytest.raises(TypeError):
        weakref.ref(inst)
    assert gc.is_tracked(inst)


class Payload:
    pass


# Every constructor and every transforming member, given the object to hold.
BUILDERS = [
    lambda x: Result.ok(x),
    lambda x: Result.err("m", details=x),
    lambda x: Result.ok(1).map(lambda _: x),
    lambda x: Result.ok(1).flat_map(lambda _: Result.ok(x)),
    lambda x: Result.ok(1) >> (lambda _: Result.err("m", details=x)),
    lambda x: Result.err("m", details=x).map(str),
    lambda x: Result.err("m").map_err(lambda m, c, d: (m, c, x)),
    lambda x: Result.from_dict({"ok": True, "value": x}),
    lambda x: Result.from_dict({"ok": False, "error": "m", "details": x}),
    lambda x: MayBe(x),
    lambda x: MayBe.just(x),
    lambda x: MayBe.just(1).map(lambda _: x),
    lambda x: MayBe.just(1) >> (lambda _: MayBe.just(x)),
    lambda x: Result.ok(1).and_then(lambda _: Result.ok(x)),
    lambda x: MayBe.just(1).flat_map(lambda _: MayBe.just(x)),
]


@pytest.mark.parametrize("build", BUILDERS)
def test_instance_holds_one_reference_and_releases_it(build):
    x = Payload()
    base = sys.getrefcount(x)
    inst = build(x)
    assert sys.getrefcount(x) == base + 1
    del inst
    assert sys.getrefcount(x) == base


@pytest.mark.parametrize("build", BUILDERS)
def test_cycle_through_payload_is_reclaimed(build):
    marker = Payload()
    probe = weakref.ref(marker)
    box = [marker]
    box.append(build(box))
    del marker, box
    gc.collect()
    assert probe() is None


def test_reimport_gives_same_classes_and_fresh_all(run_python):
    proc = run_python("""
        import sys, tarvella
        first, old_all = tarvella, tarvella.__all__
        del sys.modules["tarvella"]
        import tarvella
        assert tarvella is not first
        assert tarvella.Result is first.Result and tarvella.MayBe is first.MayBe
        assert tarvella.__all__ == ["MayBe", "Result"] and tarvella.__all__ is not old_all
        assert old_all == ["MayBe", "Result"]
        assert isinstance(first.Result.ok(1), tarvella.Result)
        print("done")
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "done"


def fresh_module(all_value=None, cls=None):
    """A new, not yet executed module object for tarvella."""
    spec = importlib.util.find_spec("tarvella")
    module = importlib.util.module_from_spec(spec)
    if cls is not None:
        module.__class__ = cls
    if all_value is not None:
        module.__all__ = all_value
    return spec, module


class ListSub(list):
    pass


# Made afresh for each run: a list given as the parameter itself would keep
# the names of earlier runs (pytest-run-parallel runs each test repeatedly).
@pytest.mark.parametrize("make_existing", [lambda: ["x"], lambda: ListSub(["x", "y"]), list],
                         ids=["list", "subclass", "empty"])
def test_exec_appends_to_existing_all(make_existing):
    existing = make_existing()
    spec, module = fresh_module(existing)
    before = list(existing)
    spec.loader.exec_module(module)
    assert module.__all__ is existing
    assert existing == before + ["MayBe", "Result"]
    assert module.Result is Result and module.MayBe is MayBe


@pytest.mark.parametrize("value, message", [
    (5, "'int' object is not an instance of 'list'"),
    (("x",), "'tuple' object is not an instance of 'list'"),
    ("MayBe", "'str' object is not an instance of 'list'"),
])
def test_exec_rejects_all_that_is_not_a_list(value, message):
    spec, module = fresh_module(value)
    with pytest.raises(TypeError) as info:
        spec.loader.exec_module(module)
    assert type(info.value) is TypeError and info.value.args == (message,)
    assert not hasattr(module, "MayBe") and not hasattr(module, "Result")
    assert module.__all__ == value


def test_exec_rejects_none_as_all():
    spec, module = fresh_module()
    module.__all__ = None
    with pytest.raises(TypeError) as info:
        spec.loader.exec_module(module)
    assert str(info.value) == "'None' is not an instance of 'list'"


def test_exec_propagates_other_errors_reading_all():
    class Boom(Exception):
        pass

    class Strict(types.ModuleType):
        @property
        def __all__(self):
            raise Boom("no __all__ here")

    spec, module = fresh_module(cls=Strict)
    with pytest.raises(Boom):
        spec.loader.exec_module(module)
    assert not hasattr(module, "MayBe")


# The interpreter's repr of a list passes its items borrowed. A value whose
# str() empties the list frees the instance under its own repr; an instance
# of the same size made right after takes over its memory, so a member that
# touched its receiver again on the way out would corrupt the newcomer.
@pytest.mark.parametrize("make", ["Result.ok", "MayBe.just", "MayBe"])
def test_receiver_freed_during_its_own_member(run_python, make):
    proc = run_python(f"""
        from tarvella import MayBe, Result
        class Dropper:
            def __str__(self):
                box.clear()
                newcomers.extend({make}(i) for i in range(8))
                return "dropped"
        newcomers = []
        box = [{make}(Dropper())]
        print(repr(box))
        print(all(x.map(str).unwrap() == str(i) for i, x in enumerate(newcomers)))
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split("\n")[1:] == ["True", ""]


# A C caller can hand a member its receiver borrowed, and the member's own
# user function can drop the one reference: here the argument array of
# PyObject_VectorcallMethod holds bare pointers and a list owns the objects.
# Instances made right after take over the freed memory, so the member must
# neither read its receiver again nor lose what it handed to the function.
@pytest.mark.parametrize("receiver, method, args, expected", [
    ("Result.ok(Held())", "map", "dropping", "Ok(held)"),
    ("Result.ok(Held())", "match", "dropping, None", "held"),
    ("Result.ok(Held())", "__rshift__", "lambda v: dropping(v) and Result.ok(v)", "Ok(held)"),
    ("Result.err('m', code='c', details=Held())", "match", "None, dropping", "m c held"),
    ("Result.err('m', details=Held())", "map_err",
     "lambda *t: (dropping(*t), None, t[2])", "Err('m None held')"),
    ("MayBe.just(Held())", "flat_map", "lambda v: dropping(v) and MayBe.just(v)", "Just(held)"),
    ("MayBe.just(Held())", "__repr__", "", "Just(held)"),
])
def test_receiver_dropped_by_its_own_function(run_python, receiver, method, args, expected):
    proc = run_python(f"""
        import ctypes
        from tarvella import MayBe, Result
        call = ctypes.pythonapi.PyObject_VectorcallMethod
        call.restype = ctypes.py_object
        call.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]
        newcomers = []
        class Held:
            def __str__(self):
                return dropping(self)
            __repr__ = __str__
        def dropping(*seen):
            if owner:
                owner.clear()  # the receiver's only reference
                newcomers.extend(Result.ok(i) for i in range(8))
                newcomers.extend(MayBe.just(i) for i in range(8, 16))
            return " ".join(str(x) if not isinstance(x, Held) else "held" for x in seen)
        owner = [{receiver}]
        members = [{args}]
        cells = (ctypes.c_void_p * (1 + len(members)))(*map(id, owner + members))
        print(str(call("{method}", cells, len(cells), None)))
        print([x.unwrap() for x in newcomers] == list(range(16)))
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split("\n") == [expected, "True", ""]
