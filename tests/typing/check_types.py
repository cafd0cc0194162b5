"""Code that the type checker must accept, with the types it must infer.

scripts/check-typing runs `mypy --strict` on this file (no error allowed)
and then runs it as a script, so every line is also true at runtime. Not a
pytest module: the name does not start with test_.
"""

import json
from collections.abc import Iterator, Mapping
from typing import Any, Never, assert_type

from tarvella import MayBe, Result

# --- Result: construction ---------------------------------------------------
ok = Result.ok(5)
assert_type(ok, Result[int, Never])
err = Result.err("boom", code="E42", details={"k": 1})
assert_type(err, Result[Never, dict[str, int]])
assert_type(Result.err("boom"), Result[Never, Never])
assert_type(Result.ok(value=None), Result[None, Never])
assert_type(Result.err(message="m", code=None, details=[1]), Result[Never, list[int]])
assert_type(Result.from_dict({"ok": True, "value": 1}), Result[Any, Any])
assert_type(Result.from_dict(dict={"ok": False, "error": "m"}), Result[Any, Any])
assert Result[int, str] is Result


# Constructors fit any wider declared type: the classes are covariant.
def parse_port(text: str) -> Result[int, dict[str, str]]:
    if not text.isdigit():
        return Result.err("not a number", code="E_PARSE", details={"input": text})
    return Result.ok(int(text))


def widen(r: Result[bool, dict[str, str]]) -> Result[int, object]:
    return r


port = parse_port("80")
assert widen(Result.ok(True)).unwrap() is True

# --- Result: inspection and extraction -------------------------------------
assert_type(port.is_ok(), bool)
assert_type(port.is_err(), bool)
assert_type(port.unwrap(), int)
assert_type(port.expect("a port"), int)
assert_type(port.expect(message="a port"), int)
assert_type(port.unwrap_or(0), int)
assert_type(port.unwrap_or(default="none"), int | str)
assert_type(port.to_option(), int | None)
assert_type(port | None, int | None)
assert_type(err.unwrap_err(), tuple[str, str | None, dict[str, int] | None])
message, code, details = err.unwrap_err()
assert (message, code, details) == ("boom", "E42", {"k": 1})
assert port.unwrap() == 80 and port.to_option() == 80 and (err | 0) == 0

# --- Result: combinators ----------------------------------------------------
assert_type(port.map(str), Result[str, dict[str, str]])
assert_type(port.map(func=lambda p: [p]), Result[list[int], dict[str, str]])
assert_type(
    err.map_err(lambda m, c, d: (m.upper(), c, None if d is None else len(d))),
    Result[Never, int],
)
assert_type(port.map_err(lambda m, c, d: (m, c, d)), Result[int, dict[str, str]])


def half(n: int) -> Result[float, list[str]]:
    return Result.ok(n / 2) if n % 2 == 0 else Result.err("odd", details=[str(n)])


assert_type(port.flat_map(half), Result[float, dict[str, str] | list[str]])
assert_type(port.and_then(func=half), Result[float, dict[str, str] | list[str]])
assert_type(port >> half, Result[float, dict[str, str] | list[str]])
assert_type(Result.ok("8080") >> parse_port, Result[int, dict[str, str]])
assert (port >> half).unwrap() == 40.0

# Lines written without annotations infer precise types under both checkers:
# unsolved details and error types default to Never.
e = Result.err("m", code="c")
assert_type(e, Result[Never, Never])
even = port.flat_map(lambda p: Result.ok(p) if p % 2 == 0 else Result.err("odd"))
assert_type(even, Result[int, dict[str, str]])
assert_type(port.map_err(lambda m, c, d: (m, c, None)), Result[int, Never])
# pyright gives the operand of an operator no expected type, so the
# parameter of a lambda after >> is unknown to it, whatever the stubs say
# (it infers these with flat_map, or with a named function after >>); mypy
# infers both lines.
bumped = port >> (lambda v: Result.ok(v + 1))  # pyright: ignore[reportUnknownLambdaType, reportUnknownArgumentType, reportUnknownVariableType]
assert_type(bumped, Result[int, dict[str, str]])  # pyright: ignore[reportAssertTypeFailure]
j = MayBe.just(3) >> (lambda v: MayBe.just(v * 2))  # pyright: ignore[reportUnknownLambdaType, reportUnknownArgumentType, reportUnknownVariableType]
assert_type(j, MayBe[int])  # pyright: ignore[reportAssertTypeFailure]
assert_type(port.flat_map(lambda v: Result.ok(v + 1)), Result[int, dict[str, str]])
assert_type(MayBe.just(3).flat_map(lambda v: MayBe.just(v * 2)), MayBe[int])
assert bumped.unwrap() == 81 and j.unwrap() == 6 and e.unwrap_err() == ("m", "c", None)
assert (Result.ok(3) >> half).unwrap_err() == ("odd", None, ["3"])

# --- Result: match ----------------------------------------------------------
on_ok = port.match(lambda p: p + 1, lambda m, c, d: f"{c}: {m}")
assert_type(on_ok, int | str)
assert on_ok == 81
assert_type(port.match(ok=lambda p: p + 1), int | None)
assert_type(port.match(err=lambda m, c, d: m), str | None)
assert_type(port.match(None, lambda m, c, d: m), str | None)
assert_type(port.match(), None)
assert err.match(err=lambda m, c, d: d) == {"k": 1}
assert_type(port.match(lambda p: [p], lambda m, c, d: [m]), list[int] | list[str])


# Under a declared return type each function must return what is declared,
# as the branches of an if statement must. mypy checks them so only where
# the declared type is a generic class (list, dict), never a tuple; there
# the union of both results must fit, which the covariant Mapping does.
def respond(r: Result[int, None]) -> tuple[int, dict[str, object]]:
    return r.match(ok=lambda v: (200, {"total": v}), err=lambda m, c, d: (400, {"error": m}))  # type: ignore[return-value]


def respond_mapping(r: Result[int, None]) -> tuple[int, Mapping[str, object]]:
    return r.match(ok=lambda v: (200, {"total": v}), err=lambda m, c, d: (400, {"error": m}))


def counts(r: Result[int, None]) -> dict[str, object]:
    return r.match(ok=lambda v: {"total": v}, err=lambda m, c, d: {"error": m})


def listed(m: MayBe[int]) -> list[object]:
    return m.match(just=lambda v: [v], nothing=lambda: ["none"])


assert respond(Result.ok(3)) == respond_mapping(Result.ok(3)) == (200, {"total": 3})
assert counts(Result.err("m")) == {"error": "m"} and listed(MayBe.nothing()) == ["none"]

# --- Result: dictionary form and protocols -----------------------------------
wire = json.dumps(err.to_dict())
assert_type(err.to_dict(), dict[str, Any])
assert Result.from_dict(json.loads(wire)).unwrap_err() == ("boom", "E42", {"k": 1})
assert_type(bool(port), bool)
assert_type(len(port), int)
assert_type(iter(port), Iterator[int])
assert_type(list(port), list[int])
assert_type(sum(p for text in ("1", "x", "2") for p in parse_port(text)), int)
assert list(port) == [80] and len(err) == 0 and not err

# --- MayBe -------------------------------------------------------------------
host = MayBe("example.org")
assert_type(host, MayBe[str])
assert_type(MayBe(None), MayBe[Never])
assert_type(MayBe(obj=None), MayBe[Never])
assert_type(MayBe.just(None), MayBe[None])
assert_type(MayBe.just(obj=3), MayBe[int])
assert_type(MayBe.nothing(), MayBe[Never])
settings: dict[str, int] = {}
timeout = MayBe(settings.get("timeout"))
assert_type(timeout, MayBe[int])
assert MayBe[int] is MayBe


def label(h: str) -> MayBe[str]:
    return MayBe(h.split(".")[0] or None)


def wider(m: MayBe[bool]) -> MayBe[int]:
    return m


assert wider(MayBe.nothing()).is_nothing()
assert_type(host.is_just(), bool)
assert_type(host.is_nothing(), bool)
assert_type(host.unwrap(), str)
assert_type(host.expect("a host"), str)
assert_type(timeout.to_option(), int | None)
assert_type(timeout.or_else(30), int)
assert_type(timeout.or_else(default="never"), int | str)
assert_type(timeout | 30, int)
assert_type(host.map(len), MayBe[int])
assert_type(host.flat_map(label), MayBe[str])
assert_type(host >> label, MayBe[str])
assert_type(host.match(lambda h: len(h), lambda: None), int | None)
assert_type(host.match(just=str.upper), str | None)
assert_type(host.match(nothing=lambda: 0), int | None)
assert_type(host.match(None, lambda: 0), int | None)
assert_type(host.match(), None)
assert_type(list(host), list[str])
assert_type(len(timeout), int)
assert (host >> label).unwrap() == "example" and (timeout | 30) == 30
assert host.match(just=len, nothing=lambda: 0) == 11 and list(timeout) == []

print("check_types: every accepted use also holds at runtime")
