"""Code that the type checkers must reject: each line marked
`# E: CODE  P: RULE` must get a mypy error with that error code and a
basedpyright error under that rule, and no other line may get one
(scripts/check-typing checks both, for each checker). `P: -` marks a line
that pyright cannot reject; the note on it says why. The note in parentheses
says what the line does at runtime: all but four raise the exception named
there; the four marked "runs, but" are mistakes that only a type checker can
see. The file is never run.
"""

from typing import Never

from tarvella import MayBe, Result

ok = Result.ok(1)
err: Result[int, dict[str, str]] = Result.err("boom", code="E1", details={"k": "v"})
just = MayBe.just("text")


def to_text(n: int) -> str:
    return str(n)


# Construction
Result()  # E: call-arg  P: reportCallIssue  (TypeError: cannot create instances)
MayBe()  # E: call-arg  P: reportCallIssue  (TypeError: missing 'obj')
Result.ok()  # E: call-arg  P: reportCallIssue  (TypeError: missing 'value')
Result.ok(1, 2)  # E: call-arg  P: reportCallIssue  (TypeError: too many positional arguments)
Result.err(5)  # E: arg-type  P: reportArgumentType  (TypeError: argument 'message')
Result.err("m", code=404)  # E: arg-type  P: reportArgumentType  (TypeError: argument 'code')
Result.err("m", "c", None, 4)  # E: call-arg  P: reportCallIssue  (TypeError: too many positional arguments)
Result.err(msg="m")  # E: call-arg  P: reportCallIssue  (TypeError: unexpected keyword)
Result.from_dict([("ok", True)])  # E: arg-type  P: reportArgumentType  (TypeError: argument 'dict')
MayBe.nothing(None)  # E: call-arg  P: reportCallIssue  (TypeError: takes no arguments)
declared: Result[int, Never] = Result.ok("s")  # E: arg-type  P: reportAssignmentType  (runs, but holds no int)


class Sub(MayBe[int]):  # E: misc  P: reportGeneralTypeIssues  (TypeError: not an acceptable base type)
    pass


# Extraction
ok.expect(5)  # E: arg-type  P: reportArgumentType  (TypeError: argument 'message')
just.expect()  # E: call-arg  P: reportCallIssue  (TypeError: missing 'message')
ok.unwrap().upper()  # E: attr-defined  P: reportAttributeAccessIssue  (AttributeError: int has no upper)
ok.unwrap_or()  # E: call-arg  P: reportCallIssue  (TypeError: missing 'default')
ok[0]  # E: index  P: reportIndexIssue  (TypeError: not subscriptable)
ok.value  # E: attr-defined  P: reportAttributeAccessIssue  (AttributeError: no such attribute)
# pyright lets a function of a compatible type be assigned over a method.
ok.is_ok = lambda: False  # E: method-assign  P: -  (AttributeError: read-only)

# Combinators
ok.map(fn=to_text)  # E: call-arg  P: reportCallIssue  (TypeError: unexpected keyword)
just.map(to_text)  # E: arg-type  P: reportArgumentType  (runs, but to_text is given a str)
ok.flat_map(lambda x: x)  # E: arg-type  P: reportArgumentType  (TypeError: not a Result)
ok.and_then(lambda x: MayBe.just(x))  # E: arg-type  P: reportArgumentType  (TypeError: not a Result)
just.flat_map(lambda x: Result.ok(x))  # E: arg-type  P: reportArgumentType  (TypeError: not a MayBe)
err.map_err(lambda m: m)  # E: arg-type  P: reportArgumentType  (TypeError: the function gets three arguments)
err.map_err(lambda m, c, d: (m, c))  # E: arg-type  P: reportArgumentType  (ValueError: tuple of length 2)
err.map_err(lambda m, c, d: (1, c, d))  # E: arg-type  P: reportArgumentType  (TypeError: message is no str)
err.map_err(lambda m, c, d: [m, c, d])  # E: arg-type  P: reportArgumentType  (TypeError: not a tuple)

# match
err.match(err=lambda m: 0)  # E: arg-type  P: reportCallIssue  (TypeError: err gets three arguments)
MayBe.nothing().match(nothing=lambda x: 0)  # E: arg-type  P: reportCallIssue  (TypeError: nothing gets no argument)
ok.match(ok=lambda v: v, error=print)  # E: call-overload  P: reportCallIssue  (TypeError: unexpected keyword)
ok.match(lambda v: v.upper())  # E: attr-defined  P: reportAttributeAccessIssue  (AttributeError: int has no upper)


def respond(r: Result[int, None]) -> tuple[int, dict[str, object]]:
    return r.match(ok=lambda v: (200, {"total": v}), err=lambda m, c, d: "no")  # E: return-value  P: reportReturnType  (runs, but returns no tuple)


def listed(m: MayBe[int]) -> list[object]:
    return m.match(just=lambda v: [v], nothing=lambda: "none")  # E: arg-type  P: reportReturnType  (runs, but returns no list)

# Operators
# pyright types an operand without the operator's signature, so it sees an
# untyped lambda here rather than one returning the wrong type.
ok >> (lambda x: x)  # E: operator  P: reportUnknownLambdaType  (TypeError: not a Result)
just >> 42  # E: operator  P: reportOperatorIssue  (TypeError: an int is not callable)
5 >> ok  # E: operator  P: reportOperatorIssue  (TypeError: unsupported operand types)
0 | just  # E: operator  P: reportOperatorIssue  (TypeError: unsupported operand types)
