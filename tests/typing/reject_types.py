"""Code that the type checker must reject: each line marked `# E: CODE`
must get a mypy error with that error code, and no other line may get one
(scripts/check-typing checks both). The note in parentheses says what the line
does at runtime: all but two raise the exception named there; the two marked
"runs, but" are mistakes that only the type checker can see. The file is
never run.
"""

from typing import Never

from tarvella import MayBe, Result

ok = Result.ok(1)
err: Result[int, dict[str, str]] = Result.err("boom", code="E1", details={"k": "v"})
just = MayBe.just("text")


def to_text(n: int) -> str:
    return str(n)


# Construction
Result()  # E: call-arg  (TypeError: cannot create instances)
MayBe()  # E: call-arg  (TypeError: missing 'obj')
Result.ok()  # E: call-arg  (TypeError: missing 'value')
Result.ok(1, 2)  # E: call-arg  (TypeError: too many positional arguments)
Result.err(5)  # E: arg-type  (TypeError: argument 'message')
Result.err("m", code=404)  # E: arg-type  (TypeError: argument 'code')
Result.err("m", "c", None, 4)  # E: call-arg  (TypeError: too many positional arguments)
Result.err(msg="m")  # E: call-arg  (TypeError: unexpected keyword)
Result.from_dict([("ok", True)])  # E: arg-type  (TypeError: argument 'dict')
MayBe.nothing(None)  # E: call-arg  (TypeError: takes no arguments)
declared: Result[int, Never] = Result.ok("s")  # E: arg-type  (runs, but holds no int)


class Sub(MayBe[int]):  # E: misc  (TypeError: not an acceptable base type)
    pass


# Extraction
ok.expect(5)  # E: arg-type  (TypeError: argument 'message')
just.expect()  # E: call-arg  (TypeError: missing 'message')
ok.unwrap().upper()  # E: attr-defined  (AttributeError: int has no upper)
ok.unwrap_or()  # E: call-arg  (TypeError: missing 'default')
ok[0]  # E: index  (TypeError: not subscriptable)
ok.value  # E: attr-defined  (AttributeError: no such attribute)
ok.is_ok = lambda: False  # E: method-assign  (AttributeError: read-only)

# Combinators
ok.map(fn=to_text)  # E: call-arg  (TypeError: unexpected keyword)
just.map(to_text)  # E: arg-type  (runs, but to_text is given a str)
ok.flat_map(lambda x: x)  # E: arg-type  (TypeError: not a Result)
ok.and_then(lambda x: MayBe.just(x))  # E: arg-type  (TypeError: not a Result)
just.flat_map(lambda x: Result.ok(x))  # E: arg-type  (TypeError: not a MayBe)
err.map_err(lambda m: m)  # E: arg-type  (TypeError: the function gets three arguments)
err.map_err(lambda m, c, d: (m, c))  # E: arg-type  (ValueError: tuple of length 2)
err.map_err(lambda m, c, d: (1, c, d))  # E: arg-type  (TypeError: message is no str)
err.map_err(lambda m, c, d: [m, c, d])  # E: arg-type  (TypeError: not a tuple)

# match
err.match(err=lambda m: 0)  # E: arg-type  (TypeError: err gets three arguments)
MayBe.nothing().match(nothing=lambda x: 0)  # E: arg-type  (TypeError: nothing gets no argument)
ok.match(ok=lambda v: v, error=print)  # E: call-overload  (TypeError: unexpected keyword)
ok.match(lambda v: v.upper())  # E: attr-defined  (AttributeError: int has no upper)

# Operators
ok >> (lambda x: x)  # E: operator  (TypeError: not a Result)
just >> 42  # E: operator  (TypeError: an int is not callable)
5 >> ok  # E: operator  (TypeError: unsupported operand types)
0 | just  # E: operator  (TypeError: unsupported operand types)
