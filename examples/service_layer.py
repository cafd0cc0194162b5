"""An HTTP-style service layer built on Result, without any real network.

Handlers return Result values instead of raising. The transport layer turns
each one into a status code and a JSON body with to_dict(); the client reads
the body back with Result.from_dict() and gets the same Ok or Err it would
have had in-process, error code and details included.
"""

import json
from collections.abc import Callable
from dataclasses import asdict, dataclass
from typing import Any, cast

from tarvella import Result

type Details = dict[str, Any]
type Outcome[T] = Result[T, Details]


@dataclass(frozen=True)
class User:
    id: int
    name: str
    email: str


@dataclass(frozen=True)
class Request:
    method: str
    path: str
    body: str = ""


# --- The service: plain functions from input to Result ------------------------

USERS: dict[int, User] = {1: User(1, "Ada", "ada@example.org")}


def parse_json(body: str) -> Outcome[Any]:
    try:
        return Result.ok(json.loads(body))
    except json.JSONDecodeError as error:
        return Result.err("body is not JSON", code="BAD_REQUEST",
                          details={"line": error.lineno, "column": error.colno})


def parse_id(text: str) -> Outcome[int]:
    if text.isdigit():
        return Result.ok(int(text))
    return Result.err("user id must be a number", code="BAD_REQUEST", details={"id": text})


def find_user(user_id: int) -> Outcome[User]:
    if user_id in USERS:
        return Result.ok(USERS[user_id])
    return Result.err("no such user", code="NOT_FOUND", details={"id": user_id})


def new_user(body: Any) -> Outcome[User]:
    if not isinstance(body, dict):
        return Result.err("expected a JSON object", code="BAD_REQUEST")
    fields = cast(dict[str, Any], body)  # JSON object keys are strings
    missing = [key for key in ("name", "email") if not isinstance(fields.get(key), str)]
    if missing:
        return Result.err("missing fields", code="UNPROCESSABLE", details={"fields": missing})
    if "@" not in fields["email"]:
        return Result.err("invalid email", code="UNPROCESSABLE",
                          details={"email": fields["email"]})
    if any(user.email == fields["email"] for user in USERS.values()):
        return Result.err("email already registered", code="CONFLICT",
                          details={"email": fields["email"]})
    user = User(max(USERS) + 1, fields["name"], fields["email"])
    USERS[user.id] = user
    return Result.ok(user)


def get_user(request: Request) -> Outcome[User]:
    return parse_id(request.path.removeprefix("/users/")) >> find_user


def create_user(request: Request) -> Outcome[User]:
    return parse_json(request.body) >> new_user


ROUTES: dict[tuple[str, str], Callable[[Request], Outcome[User]]] = {
    ("GET", "/users/"): get_user,
    ("POST", "/users"): create_user,
}


# --- The transport: Result to status code and JSON, and back ------------------

STATUS = {"BAD_REQUEST": 400, "NOT_FOUND": 404, "CONFLICT": 409, "UNPROCESSABLE": 422}


def handle(request: Request) -> tuple[int, str]:
    """Route a request and serialise the handler's Result as the response."""
    for (method, prefix), handler in ROUTES.items():
        if request.method == method and request.path.startswith(prefix):
            outcome = handler(request).map(asdict)
            break
    else:
        outcome = Result.err("no route", code="NOT_FOUND", details={"path": request.path})
    status = outcome.match(
        ok=lambda _: 201 if request.method == "POST" else 200,
        err=lambda message, code, details: STATUS.get(code or "", 500),
    )
    return status, json.dumps(outcome.to_dict())


def call(method: str, path: str, body: str = "") -> Result[Any, Any]:
    """The client side: send a request and rebuild the Result from the body."""
    status, text = handle(Request(method, path, body))
    print(f"{method} {path} {body}".rstrip())
    print(f"  <- {status} {text}")
    return Result.from_dict(json.loads(text))


def greeting(outcome: Result[Any, Any]) -> str:
    return outcome.match(
        ok=lambda user: f"hello, {user['name']} (#{user['id']})",
        err=lambda message, code, details: f"failed with {code}: {message}",
    )


REQUESTS = [
    ("GET", "/users/1", ""),
    ("GET", "/users/7", ""),
    ("GET", "/users/abc", ""),
    ("POST", "/users", '{"name": "Grace", "email": "grace@example.org"}'),
    ("POST", "/users", '{"name": "Grace", "email": "grace@example.org"}'),
    ("POST", "/users", '{"name": "Linus"}'),
    ("POST", "/users", "{not json"),
    ("DELETE", "/users/1", ""),
]
for method, path, body in REQUESTS:
    print(f"  => {greeting(call(method, path, body))}")

# What went over the wire is the same Result: same code, same details.
created = call("GET", "/users/2").map(lambda user: User(**user))
assert created.unwrap() == USERS[2]
print(f"  => as a User again: {created.unwrap()}")
