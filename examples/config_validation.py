"""Validating a configuration file with Result and MayBe.

Every check returns a Result instead of raising, with an error code and
details that say which setting failed and why. Because a failed check is an
ordinary value, the validator runs all checks and reports every problem at
once, not only the first. Optional settings are read as MayBe values and
fall back to defaults.
"""

import tomllib
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, cast

from tarvella import MayBe, Result

type Details = dict[str, Any]
type Check[T] = Result[T, Details]

# A configuration with six mistakes in it, and a corrected one.
BROKEN = """
[server]
host = "0.0.0.0"
port = 80800
workers = "four"

[database]
pool_size = 0
timeout_seconds = -2.5

[logging]
level = "verbose"
"""

FIXED = """
[server]
host = "0.0.0.0"
port = 8080
workers = 4

[database]
url = "postgres://db.internal/app"
pool_size = 10

[logging]
level = "info"
"""


@dataclass(frozen=True)
class Settings:
    host: str
    port: int
    workers: int
    database_url: str
    pool_size: int
    timeout_seconds: float
    log_level: str


def problem(path: str, message: str, code: str, **facts: Any) -> Check[Any]:
    return Result.err(message, code=code, details={"path": path, **facts})


def optional(config: dict[str, Any], path: str) -> MayBe[Any]:
    """The setting at "section.key", or Nothing if the file does not set it."""
    section, _, key = path.partition(".")
    table = config.get(section)
    if not isinstance(table, dict):
        return MayBe.nothing()
    entries = cast(dict[str, Any], table)  # TOML table keys are strings
    return MayBe(entries.get(key))


def required(config: dict[str, Any], path: str) -> Check[Any]:
    return optional(config, path).match(
        just=Result.ok,
        nothing=lambda: problem(path, "missing setting", "E_MISSING"),
    )


def of_type[T](path: str, kind: type[T]) -> Callable[[Any], Check[T]]:
    """Accepts a value of the given type; a bool counts as no number here."""
    def check(value: Any) -> Check[T]:
        if isinstance(value, kind) and type(value) is not bool:
            return Result.ok(value)
        return problem(path, f"must be of type {kind.__name__}", "E_TYPE",
                       got=type(value).__name__)
    return check


def between[N: float](path: str, low: N, high: N) -> Callable[[N], Check[N]]:
    def check(value: N) -> Check[N]:
        if low <= value <= high:
            return Result.ok(value)
        return problem(path, f"must be between {low} and {high}", "E_RANGE", got=value)
    return check


def one_of(path: str, *choices: str) -> Callable[[str], Check[str]]:
    def check(value: str) -> Check[str]:
        if value in choices:
            return Result.ok(value)
        return problem(path, f"must be one of: {', '.join(choices)}", "E_CHOICE", got=value)
    return check


def describe(check: Check[Any]) -> Details:
    """One failed check as a flat record: code, message and details."""
    message, code, details = check.unwrap_err()
    return {"code": code, "message": message, **(details or {})}


def validate(text: str) -> Result[Settings, list[Details]]:
    """Settings, or one Err whose details list every problem found."""
    try:
        config = tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        return Result.err("not valid TOML", code="E_SYNTAX",
                          details=[{"code": "E_SYNTAX", "message": str(error)}])

    def integer(path: str, low: int, high: int) -> Check[int]:
        return required(config, path) >> of_type(path, int) >> between(path, low, high)

    def text_setting(path: str) -> Check[str]:
        return required(config, path) >> of_type(path, str)

    host = text_setting("server.host")
    port = integer("server.port", 1, 65535)
    workers = integer("server.workers", 1, 64)
    url = text_setting("database.url")
    pool = integer("database.pool_size", 1, 100)
    # Optional settings: left out, they take their default; given, they are checked.
    timeout: Check[float] = optional(config, "database.timeout_seconds").map(
        lambda value: Result.ok(value)
        >> of_type("database.timeout_seconds", float)
        >> between("database.timeout_seconds", 0.1, 60.0)
    ).or_else(Result.ok(5.0))
    level = (Result.ok(optional(config, "logging.level") | "info")
             >> of_type("logging.level", str)
             >> one_of("logging.level", "debug", "info", "warning", "error"))

    checks: list[Check[Any]] = [host, port, workers, url, pool, timeout, level]
    failures = [describe(check) for check in checks if check.is_err()]
    if failures:
        return Result.err(f"{len(failures)} problems in the configuration",
                          code="E_CONFIG", details=failures)
    return Result.ok(Settings(host.unwrap(), port.unwrap(), workers.unwrap(), url.unwrap(),
                              pool.unwrap(), timeout.unwrap(), level.unwrap()))


def report(name: str, outcome: Result[Settings, list[Details]]) -> None:
    print(f"== {name} ==")
    if outcome.is_ok():
        print(f"  valid: {outcome.unwrap()}")
        return
    message, code, problems = outcome.unwrap_err()
    print(f"  [{code}] {message}")
    for each in problems or []:
        got = f" (got {each['got']!r})" if "got" in each else ""
        print(f"    {each['code']:<10} {each.get('path', '-'):<26} {each['message']}{got}")


report("broken.toml", validate(BROKEN))
report("fixed.toml", validate(FIXED))
report("garbled.toml", validate("[server\nport = 1"))
