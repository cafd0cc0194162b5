"""What introspection tools show: inspect.signature of every member and of
MayBe, and the help()/pydoc pages of the module and its classes. (The doc
strings and text signatures themselves are checked in test_module.py.)"""

import inspect
import io
import pydoc

import pytest

import tarvella
from tarvella import MayBe, Result

# The signature of each callable member as seen through an instance: every
# parameter can be given by position or by keyword.
SIGNATURES = {
    Result: {
        "ok": "(value)", "err": "(message, code=None, details=None)", "from_dict": "(dict)",
        "is_ok": "()", "is_err": "()", "unwrap": "()", "expect": "(message)",
        "unwrap_or": "(default)", "unwrap_err": "()", "to_option": "()",
        "match": "(ok=None, err=None)", "map": "(func)", "map_err": "(func)",
        "flat_map": "(func)", "and_then": "(func)", "to_dict": "()",
        "__class_getitem__": "(_item)",
    },
    MayBe: {
        "just": "(obj)", "nothing": "()", "is_just": "()", "is_nothing": "()",
        "unwrap": "()", "expect": "(message)", "to_option": "()",
        "match": "(just=None, nothing=None)", "or_else": "(default)", "map": "(func)",
        "flat_map": "(func)", "__class_getitem__": "(_item)",
    },
}
INSTANCES = {Result: Result.err("m", code="c"), MayBe: MayBe.just(1)}
CASES = [(cls, name, text) for cls, table in SIGNATURES.items() for name, text in table.items()]


def is_instance_method(cls, name):
    return type(vars(cls)[name]).__name__ == "method_descriptor"


@pytest.mark.parametrize("cls", SIGNATURES, ids=lambda c: c.__name__)
def test_every_callable_member_has_a_documented_signature(cls):
    members = {n for n in vars(cls) if not n.startswith("__")} | {"__class_getitem__"}
    assert set(SIGNATURES[cls]) == members


@pytest.mark.parametrize("cls, name, text", CASES, ids=[f"{c.__name__}.{n}" for c, n, _ in CASES])
def test_inspect_signature(cls, name, text):
    bound = inspect.signature(getattr(INSTANCES[cls], name))
    assert str(bound) == text
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in bound.parameters.values())
    on_class = inspect.signature(getattr(cls, name))
    if is_instance_method(cls, name):
        receiver, *rest = on_class.parameters.values()
        assert (receiver.name, receiver.kind) == ("self", receiver.POSITIONAL_ONLY)
        assert rest == list(bound.parameters.values())
    else:
        assert on_class == bound


def test_maybe_class_signature():
    signature = inspect.signature(MayBe)
    assert str(signature) == "(obj)"
    assert signature.parameters["obj"].kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert signature.bind(obj=None).arguments == {"obj": None}


def help_text(request):
    out = io.StringIO()
    pydoc.Helper(output=out).help(request)
    return out.getvalue()


@pytest.mark.parametrize("request_", [tarvella, "tarvella", Result, "tarvella.Result",
                                      MayBe, "tarvella.MayBe"], ids=str)
def test_help_and_pydoc_show_every_member(request_):
    obj = pydoc.locate(request_) if isinstance(request_, str) else request_
    classes = [obj] if isinstance(obj, type) else [Result, MayBe]
    html = pydoc.html.page(pydoc.describe(obj), pydoc.html.document(obj))
    for text in (help_text(request_), pydoc.render_doc(obj, renderer=pydoc.plaintext)):
        for cls in classes:
            for name in SIGNATURES[cls]:
                member = getattr(cls, name)
                assert f"{name}{inspect.signature(member)}" in text
                assert member.__doc__.split("\n", 1)[0] in text
                assert f">{name}</" in html
