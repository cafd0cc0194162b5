"""A short tour of tarvella: outcomes as values with Result and MayBe."""

import json
from typing import Any

from tarvella import MayBe, Result


def show(label: str, value: object) -> None:
    print(f"{label:<36} {value!r}")


def parse_port(text: str) -> Result[int, dict[str, Any]]:
    """Turn a string into a Result instead of raising."""
    if not text.isdigit():
        return Result.err(f"not a number: {text}", code="E_PARSE", details={"input": text})
    port = int(text)
    if not 0 < port < 65536:
        return Result.err("port out of range", code="E_RANGE", details={"port": port})
    return Result.ok(port)


print("== Result ==")
good, bad = parse_port("8080"), parse_port("http")
show("parse_port('8080')", good)
show("parse_port('http')", bad)
show("good.is_ok(), bad.is_err()", (good.is_ok(), bad.is_err()))
show("good.unwrap()", good.unwrap())
show("bad.unwrap_or(80)", bad.unwrap_or(80))
show("bad.unwrap_err()", bad.unwrap_err())
try:
    bad.expect("a port was required")
except ValueError as error:
    show("bad.expect(...) raised", error)

print("\n== Combinators ==")
show("good.map(lambda p: p + 1)", good.map(lambda p: p + 1))
show("bad.map_err(...)", bad.map_err(lambda msg, code, details: (msg.upper(), code, None)))
show("good.flat_map(check even)",
     good.flat_map(lambda p: Result.ok(p) if p % 2 == 0 else Result.err("odd")))
show("Result.ok('99999') >> parse_port", Result.ok("99999") >> parse_port)
show("bad | 443", bad | 443)
show("good.match(...)",
     good.match(ok=lambda p: f"listening on {p}", err=lambda msg, code, details: f"[{code}] {msg}"))
show("bad.match(...)",
     bad.match(ok=lambda p: f"listening on {p}", err=lambda msg, code, details: f"[{code}] {msg}"))

print("\n== Dictionary form ==")
wire = json.dumps(bad.to_dict())
show("json.dumps(bad.to_dict())", wire)
back = Result.from_dict(json.loads(wire))
show("Result.from_dict(json.loads(...))", back)
show("round trip keeps everything", back.to_dict() == bad.to_dict())
show("Result.ok([1, 2]).to_dict()", Result.ok([1, 2]).to_dict())

print("\n== MayBe ==")
config = {"host": "example.org", "timeout": None}
host, timeout = MayBe(config.get("host")), MayBe(config.get("timeout"))
show("MayBe(config['host'])", host)
show("MayBe(None)", timeout)
show("MayBe.just(None)", MayBe.just(None))
show("MayBe.nothing().is_nothing()", MayBe.nothing().is_nothing())
show("host.map(str.upper)", host.map(str.upper))
show("timeout.map(str.upper)", timeout.map(str.upper))
show("host.flat_map(first label)", host.flat_map(lambda h: MayBe(h.split(".")[0] or None)))
# A named function rather than a lambda after >>: pyright types the operand
# of an operator on its own, so a lambda's parameter there is unknown to it.
def no_label(h: str) -> MayBe[str]:
    return MayBe.nothing()


show("host >> no_label", host >> no_label)
show("timeout.or_else(30)", timeout.or_else(30))
show("timeout | 30", timeout | 30)
show("host.match(...)", host.match(just=lambda h: f"host is {h}", nothing=lambda: "no host"))
show("timeout.match(...)", timeout.match(just=lambda t: f"{t}s", nothing=lambda: "no timeout"))

print("\n== Protocols ==")
for value in (good, bad, host, timeout):
    show(f"bool/len/list of {value!r}", (bool(value), len(value), list(value)))
show("8080 in good", 8080 in good)
show("Result[int, str] is Result", Result[int, str] is Result)
show("MayBe[int] is MayBe", MayBe[int] is MayBe)
total = sum(port for text in ("80", "x", "443") for port in parse_port(text))
show("sum of the ports that parsed", total)
