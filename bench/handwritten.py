"""What a user would write instead of tarvella: plain classes with __slots__.

It offers the same methods and protocols as tarvella, written the obvious way:
variants that need nothing new return themselves, and nothing checks types
that the caller is trusted to get right.
"""


class Ok:
    __slots__ = ("value",)

    def __init__(self, value):
        self.value = value

    def is_ok(self):
        return True

    def is_err(self):
        return False

    def unwrap(self):
        return self.value

    def expect(self, message):
        return self.value

    def unwrap_or(self, default):
        return self.value

    def map(self, func):
        return Ok(func(self.value))

    def map_err(self, func):
        return self

    def flat_map(self, func):
        return func(self.value)

    and_then = flat_map
    __rshift__ = flat_map

    def match(self, ok=None, err=None):
        return ok(self.value) if ok is not None else None

    def to_dict(self):
        return {"ok": True, "value": self.value}

    def __repr__(self):
        return f"Ok({self.value})"

    def __bool__(self):
        return True

    def __len__(self):
        return 1

    def __iter__(self):
        return iter((self.value,))

    def __or__(self, default):
        return self.value


class Err:
    __slots__ = ("message", "code", "details")

    def __init__(self, message, code=None, details=None):
        self.message = message
        self.code = code
        self.details = details

    def is_ok(self):
        return False

    def is_err(self):
        return True

    def unwrap(self):
        raise ValueError(f"Tried to unwrap an Err: {self.message}")

    def expect(self, message):
        raise ValueError(message)

    def unwrap_or(self, default):
        return default

    def map(self, func):
        return self

    def map_err(self, func):
        message, code, details = func(self.message, self.code, self.details)
        return Err(message, code, details)

    def flat_map(self, func):
        return self

    and_then = flat_map
    __rshift__ = flat_map

    def match(self, ok=None, err=None):
        return err(self.message, self.code, self.details) if err is not None else None

    def to_dict(self):
        d = {"ok": False, "error": self.message}
        if self.code is not None:
            d["code"] = self.code
        if self.details is not None:
            d["details"] = self.details
        return d

    def __repr__(self):
        if self.code is None:
            return f"Err('{self.message}')"
        return f"Err('{self.message}', code='{self.code}')"

    def __bool__(self):
        return False

    def __len__(self):
        return 0

    def __iter__(self):
        return iter(())

    def __or__(self, default):
        return default


def from_dict(d):
    if d["ok"]:
        return Ok(d["value"])
    return Err(d["error"], d.get("code"), d.get("details"))


class Just:
    __slots__ = ("value",)

    def __init__(self, value):
        self.value = value

    def is_just(self):
        return True

    def unwrap(self):
        return self.value

    def map(self, func):
        return Just(func(self.value))

    def __repr__(self):
        return f"Just({self.value})"


class Nothing:
    __slots__ = ()

    def is_just(self):
        return False

    def unwrap(self):
        raise ValueError("Tried to unwrap a Nothing")

    def map(self, func):
        return self

    def __repr__(self):
        return "Nothing"
