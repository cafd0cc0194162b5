"""The implementations under test and the operations timed on each.

Every implementation gets its own namespace, made by running its setup code
below; a case's statement for that implementation runs with that namespace
as its globals, so each statement is written the way a user of that library
would write it. An implementation that lacks an operation has no statement
for it and shows as "n/a".

The names every namespace provides:
  ok1, err1, just1, nothing1   receivers (err1 has a code)
  inc                          a one-argument Python function
  to_ok, to_just               functions returning a prebuilt Ok / Just
  D_OK, D_ERR                  dictionaries in tarvella's dict form
  x1                           a value that is not None
  pipeline, DATA               the realistic pipeline and its input
"""

IMPLEMENTATIONS = ["tarvella", "baseline", "handwritten", "result", "returns"]

# The pure-Python competitors, as opposed to the two native modules.
COMPETITORS = ["handwritten", "result", "returns"]

LABELS = {
    "tarvella": "tarvella",
    "baseline": "bare C++ baseline",
    "handwritten": "hand-written __slots__",
    "result": "result (PyPI)",
    "returns": "returns (PyPI)",
}

_COMMON = """
def inc(x):
    return x + 1

D_OK = {"ok": True, "value": 1}
D_ERR = {"ok": False, "error": "boom", "code": "E1"}
x1 = 1

# A thousand strings: one in ten is not a number, and the doubled numbers
# from 750 on fail a range check.
DATA = [str(i) if i % 10 else f"n/a-{i}" for i in range(1000)]

def double(x):
    return x * 2
"""

SETUP = {
    "tarvella": """
from tarvella import Result, MayBe
ok1 = Result.ok(1)
err1 = Result.err("boom", code="E1")
ok2 = Result.ok(2)
just1 = MayBe.just(1)
just2 = MayBe.just(2)
nothing1 = MayBe.nothing()

def to_ok(x):
    return ok2

def to_just(x):
    return just2

def retag(message, code, details):
    return (message, "E2", details)

def on_err(message, code, details):
    return 0

def parse(s):
    try:
        return Result.ok(int(s))
    except ValueError:
        return Result.err("not a number", code="E_PARSE")

def check(x):
    return Result.ok(x) if x < 1500 else Result.err("too big", code="E_RANGE")

def pipeline(data):
    results = [parse(s).map(double).flat_map(check) for s in data]
    return sum(r.unwrap() for r in results if r.is_ok())
""",
    "handwritten": """
from handwritten import Ok, Err, Just, Nothing, from_dict
ok1 = Ok(1)
err1 = Err("boom", "E1")
ok2 = Ok(2)
just1 = Just(1)
just2 = Just(2)
nothing1 = Nothing()

def to_ok(x):
    return ok2

def to_just(x):
    return just2

def retag(message, code, details):
    return (message, "E2", details)

def on_err(message, code, details):
    return 0

def parse(s):
    try:
        return Ok(int(s))
    except ValueError:
        return Err("not a number", "E_PARSE")

def check(x):
    return Ok(x) if x < 1500 else Err("too big", "E_RANGE")

def pipeline(data):
    results = [parse(s).map(double).flat_map(check) for s in data]
    return sum(r.unwrap() for r in results if r.is_ok())
""",
    # The error value carries the code with the message, the usual way with
    # this library.
    "result": """
from result import Ok, Err
ok1 = Ok(1)
err1 = Err(("E1", "boom"))
ok2 = Ok(2)

def to_ok(x):
    return ok2

def retag(e):
    return ("E2", e[1])

def on_err(e):
    return 0

def parse(s):
    try:
        return Ok(int(s))
    except ValueError:
        return Err(("E_PARSE", "not a number"))

def check(x):
    return Ok(x) if x < 1500 else Err(("E_RANGE", "too big"))

def pipeline(data):
    results = [parse(s).map(double).and_then(check) for s in data]
    return sum(r.unwrap() for r in results if r.is_ok())
""",
    "returns": """
from returns.result import Success, Failure
from returns.maybe import Maybe, Some, Nothing
from returns.pipeline import is_successful
ok1 = Success(1)
err1 = Failure(("E1", "boom"))
ok2 = Success(2)
just1 = Some(1)
just2 = Some(2)

def to_ok(x):
    return ok2

def to_just(x):
    return just2

def retag(e):
    return ("E2", e[1])

def on_err(e):
    return 0

def parse(s):
    try:
        return Success(int(s))
    except ValueError:
        return Failure(("E_PARSE", "not a number"))

def check(x):
    return Success(x) if x < 1500 else Failure(("E_RANGE", "too big"))

def pipeline(data):
    results = [parse(s).map(double).bind(check) for s in data]
    return sum(r.unwrap() for r in results if is_successful(r))
""",
}


# The baseline does tarvella's work without its frame: the same statements.
SETUP["baseline"] = SETUP["tarvella"].replace("from tarvella import", "from bench_baseline import")


def namespace(impl):
    """A fresh globals dictionary for `impl`'s statements."""
    ns = {"__name__": f"bench_{impl}"}
    exec(_COMMON, ns)
    exec(SETUP[impl], ns)
    return ns


class Case:
    def __init__(self, name, group, stmts, per_call=1, unit="call"):
        self.name = name
        self.group = group
        self.stmts = stmts
        # Operations done by one run of the statement; times are divided by it.
        self.per_call = per_call
        self.unit = unit


_MATCH_RESULT = """
match {}:
    case Ok(v):
        inc(v)
    case Err(e):
        on_err(e)
"""
_MATCH_RETURNS = """
match {}:
    case Success(v):
        inc(v)
    case Failure(e):
        on_err(e)
"""

_FIVE = ".map(inc).map(inc).map(inc).map(inc).map(inc)"

NATIVE = ("tarvella", "baseline")


def same(stmt, impls=NATIVE + ("handwritten",), **others):
    """`stmt` for the implementations that share tarvella's API, plus others."""
    return {impl: stmt for impl in impls} | others


CASES = [
    Case("Result.ok(v)", "construct", same(
        "Result.ok(1)", NATIVE, handwritten="Ok(1)", result="Ok(1)", returns="Success(1)")),
    Case("Result.err(msg)", "construct", same(
        'Result.err("boom")', NATIVE, handwritten='Err("boom")', result='Err("boom")',
        returns='Failure("boom")')),
    Case("Result.err(msg, code=c)", "construct", same(
        'Result.err("boom", code="E1")', NATIVE, handwritten='Err("boom", code="E1")',
        result='Err(("E1", "boom"))', returns='Failure(("E1", "boom"))')),
    Case("MayBe.just(v)", "construct", same(
        "MayBe.just(1)", NATIVE, handwritten="Just(1)", returns="Some(1)")),
    # returns has no constructor for Nothing: its users take the singleton.
    Case("MayBe.nothing()", "construct", same(
        "MayBe.nothing()", NATIVE, handwritten="Nothing()", returns="Nothing")),
    Case("MayBe(v)", "construct", same(
        "MayBe(x1)", NATIVE, handwritten="Just(x1) if x1 is not None else Nothing()",
        returns="Maybe.from_optional(x1)")),
    Case("is_ok() [Ok]", "query", same(
        "ok1.is_ok()", result="ok1.is_ok()", returns="is_successful(ok1)")),
    Case("is_just() [Just]", "query", same(
        "just1.is_just()", returns="is_successful(just1)")),
    Case("unwrap() [Ok]", "extract", same(
        "ok1.unwrap()", result="ok1.unwrap()", returns="ok1.unwrap()")),
    Case("unwrap_or(d) [Err]", "extract", same(
        "err1.unwrap_or(0)", result="err1.unwrap_or(0)", returns="err1.value_or(0)")),
    Case("expect(msg) [Ok]", "extract", same(
        'ok1.expect("needed")', result='ok1.expect("needed")')),
    Case("map(f) [Ok]", "combine", same(
        "ok1.map(inc)", result="ok1.map(inc)", returns="ok1.map(inc)")),
    Case("map(f) [Err]", "combine", same(
        "err1.map(inc)", result="err1.map(inc)", returns="err1.map(inc)")),
    Case("map_err(f) [Err]", "combine", same(
        "err1.map_err(retag)", result="err1.map_err(retag)", returns="err1.alt(retag)")),
    Case("map_err(f) [Ok]", "combine", same(
        "ok1.map_err(retag)", result="ok1.map_err(retag)", returns="ok1.alt(retag)")),
    Case("flat_map(f) [Ok]", "combine", same(
        "ok1.flat_map(to_ok)", result="ok1.and_then(to_ok)", returns="ok1.bind(to_ok)")),
    Case("flat_map(f) [Err]", "combine", same(
        "err1.flat_map(to_ok)", result="err1.and_then(to_ok)", returns="err1.bind(to_ok)")),
    Case("MayBe map(f) [Just]", "combine", same(
        "just1.map(inc)", returns="just1.map(inc)")),
    Case("five maps [Ok]", "combine", same(
        "ok1" + _FIVE, result="ok1" + _FIVE, returns="ok1" + _FIVE), unit="chain of 5"),
    Case("match(ok=, err=) [Ok]", "combine", same(
        "ok1.match(ok=inc, err=on_err)", result=_MATCH_RESULT.format("ok1"),
        returns=_MATCH_RETURNS.format("ok1"))),
    Case("match(ok=, err=) [Err]", "combine", same(
        "err1.match(ok=inc, err=on_err)", result=_MATCH_RESULT.format("err1"),
        returns=_MATCH_RETURNS.format("err1"))),
    Case("to_dict() [Ok]", "dict", same("ok1.to_dict()")),
    Case("to_dict() [Err+code]", "dict", same("err1.to_dict()")),
    Case("from_dict(d) [Ok]", "dict", same(
        "Result.from_dict(D_OK)", NATIVE, handwritten="from_dict(D_OK)")),
    Case("from_dict(d) [Err+code]", "dict", same(
        "Result.from_dict(D_ERR)", NATIVE, handwritten="from_dict(D_ERR)")),
    Case("repr() [Ok]", "protocol", same(
        "repr(ok1)", result="repr(ok1)", returns="repr(ok1)")),
    Case("repr() [Err+code]", "protocol", same(
        "repr(err1)", result="repr(err1)", returns="repr(err1)")),
    Case("bool() [Err]", "protocol", same("bool(err1)")),
    Case("len() [Ok]", "protocol", same("len(ok1)")),
    Case("list(r) [Ok]", "protocol", same(
        "list(ok1)", result="list(ok1)", returns="list(ok1)")),
    Case("r | d [Err]", "protocol", same("err1 | 0")),
    Case("r >> f [Ok]", "protocol", same("ok1 >> to_ok")),
    Case("pipeline (1000 strings)", "pipeline", same(
        "pipeline(DATA)", result="pipeline(DATA)", returns="pipeline(DATA)"),
        per_call=1000, unit="string"),
]

# Operations whose contract forces tarvella to build a fresh instance where
# Python code may hand back an existing object (the receiver, a singleton or
# what the function returned): no native call can beat that, so they are
# reported but not held to "faster than hand-written Python".
FRESH_INSTANCE_CASES = ["MayBe.nothing()", "map(f) [Err]", "map_err(f) [Ok]",
                        "flat_map(f) [Err]", "flat_map(f) [Ok]", "r >> f [Ok]"]

# The operations the bare baseline implements, as tarvella and it share them.
BASELINE_CASES = [c.name for c in CASES if "baseline" in c.stmts]
