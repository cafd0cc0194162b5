# Type information for the native module tarvella, shipped in the same wheel
# as a stub-only package.
#
# Both classes are immutable, so their type parameters are covariant: the
# constructors return Result[V, Never], Result[Never, D] and MayBe[Never],
# which fit any wider declared type (a function declared to return
# Result[int, dict[str, str]] may return Result.ok(1) or Result.err("m")).
#
# Result[T, E]: T is the type of an Ok's value, E the type of an Err's
# details. The message of an Err is always a str and its code a str or None.
# MayBe[T]: T is the type of a Just's value.
#
# Parameter names are those of the runtime, and every parameter can be given
# by position or by keyword, as at runtime. The operator slots take their
# right operand by position only.

import builtins
from collections.abc import Callable, Iterator
from typing import Any, Never, Self, final, overload

# Read by the match overloads: mypy takes any name MYPY as true, pyright sees
# a plain bool here. Imported under another name, so not re-exported.
from typing import TYPE_CHECKING as MYPY

__all__ = ["MayBe", "Result"]

@final
class Result[T, E]:
    """The outcome of a computation: Ok holding one value, or Err holding a
    message, an optional code and optional details. Instances never change.

    Build one with `Result.ok`, `Result.err` or `Result.from_dict`.

        >>> Result.ok(2).map(lambda x: x * 10)
        Ok(20)
    """

    # Result(...) raises TypeError at runtime: instances come only from ok,
    # err, from_dict and the members that return a new Result. The parameter
    # that nothing can be given for makes the type checker refuse every call.
    def __new__(cls, cannot_be_called: Never, /) -> Self:
        """Not callable: `Result(...)` raises TypeError. Use `Result.ok`,
        `Result.err` or `Result.from_dict`."""

    # Construction
    @staticmethod
    def ok[V](value: V) -> Result[V, Never]:
        """A new Ok holding `value` itself (`None` and other Results included).

            >>> Result.ok(5)
            Ok(5)
        """
    # D defaults to Never: without details an Err's details type is Never
    # rather than left unsolved (where mypy asks for an annotation and
    # pyright infers Unknown). A default, not an overload, so that a wrong
    # argument is reported against its parameter.
    @staticmethod
    def err[D = Never](message: str, code: str | None = None, details: D | None = None) -> Result[Never, D]:
        """A new Err with `message`, an optional `code` and optional `details`
        (`None` means none).

        Raises TypeError if `message` is not a str or `code` neither a str
        nor None, and UnicodeEncodeError for a lone surrogate in either.

            >>> Result.err("not found", code="E404", details={"id": 7})
            Err('not found', code='E404')
        """
    @staticmethod
    def from_dict(dict: builtins.dict[str, Any]) -> Result[Any, Any]:
        """A new Result read from its dictionary form, the inverse of `to_dict`:
        `{"ok": True, "value": v}` or `{"ok": False, "error": message}` with
        optional `"code"` and `"details"`.

        Raises ValueError for a missing key and TypeError for an `"ok"` that is
        not exactly a bool or an `"error"` that is not a str.

            >>> Result.from_dict({"ok": False, "error": "m", "code": "E1"})
            Err('m', code='E1')
        """

    # Inspection and extraction
    def is_ok(self) -> bool:
        """True for an Ok, False for an Err."""
    def is_err(self) -> bool:
        """True for an Err, False for an Ok."""
    def unwrap(self) -> T:
        """The value of an Ok.

        Raises ValueError("Tried to unwrap an Err: <message>") on an Err.
        """
    def expect(self, message: str) -> T:
        """The value of an Ok.

        Raises ValueError(message), with your text, on an Err, and TypeError
        if `message` is not a str (on an Ok too).

            >>> Result.err("x").expect("config is required")
            Traceback (most recent call last):
            ValueError: config is required
        """
    def unwrap_or[U](self, default: U) -> T | U:
        """The value of an Ok, or `default` itself (never called) on an Err.
        Same as `r | default`."""
    def unwrap_err(self) -> tuple[str, str | None, E | None]:
        """The tuple (message, code, details) of an Err, with None for an
        absent code or details.

        Raises ValueError("Tried to unwrap_err on an Ok") on an Ok.
        """
    def to_option(self) -> T | None:
        """The value of an Ok, or None on an Err."""

    # Dispatch: the callable of the variant that is taken is called and its
    # result returned unchanged; a missing one (or None) makes match return None.
    #
    # pyright solves the U of the first overload from a declared return type
    # when there is one, so that each function is checked against it, as the
    # branches of an if statement are; otherwise U is the union of both
    # results. mypy would join the results into one U instead (int and str
    # make object) and, with lambdas, take two matching overloads as
    # ambiguous (Any); a declared tuple never reaches its U anyway, and a
    # declared list or dict reaches the U and W of the next overload. So
    # mypy, which takes any name MYPY as true, skips the first.
    if not MYPY:
        @overload
        def match[U](
            self, ok: Callable[[T], U], err: Callable[[str, str | None, E | None], U]
        ) -> U:
            """`ok(value)` on an Ok, `err(message, code, details)` on an Err,
            returned as it is; None if that variant's function is missing.

                >>> Result.ok(3).match(ok=lambda v: v + 1, err=lambda m, c, d: 0)
                4
            """
    # Covered by the one above for pyright, which never reaches it; mypy's first.
    @overload
    def match[U, W](  # pyright: ignore[reportOverlappingOverload]
        self, ok: Callable[[T], U], err: Callable[[str, str | None, E | None], W]
    ) -> U | W:
        """`ok(value)` on an Ok, `err(message, code, details)` on an Err,
        returned as it is; None if that variant's function is missing.

            >>> Result.ok(3).match(ok=lambda v: v + 1, err=lambda m, c, d: 0)
            4
        """
    @overload
    def match[U](self, ok: Callable[[T], U], err: None = None) -> U | None: ...
    @overload
    def match[W](
        self, ok: None = None, *, err: Callable[[str, str | None, E | None], W]
    ) -> W | None: ...
    @overload
    def match[W](self, ok: None, err: Callable[[str, str | None, E | None], W]) -> W | None: ...
    @overload
    def match(self, ok: None = None, err: None = None) -> None: ...

    # Combinators: each returns a new Result.
    def map[U](self, func: Callable[[T], U]) -> Result[U, E]:
        """A new Ok holding `func(value)`; an Err is copied and `func` not called.

            >>> Result.ok(2).map(lambda x: x * 10)
            Ok(20)
        """
    # The parts of an Err are written out rather than named by an alias,
    # which an editor would show on hover in place of the tuple.
    def map_err[F = Never](
        self, func: Callable[[str, str | None, E | None], tuple[str, str | None, F | None]]
    ) -> Result[T, F]:
        """A new Err from the tuple (message, code, details) that
        `func(message, code, details)` returns; an Ok is copied and `func`
        not called.

        Raises TypeError if `func` returns no tuple or a message that is not
        a str, ValueError if the tuple does not have three items.

            >>> Result.err("m").map_err(lambda m, c, d: (m.upper(), "E1", d))
            Err('M', code='E1')
        """
    def flat_map[U, F = Never](self, func: Callable[[T], Result[U, F]]) -> Result[U, E | F]:
        """A new Result holding what the Result `func(value)` holds, Ok or Err;
        an Err is copied and `func` not called. Same as `r >> func`.

        Raises TypeError if `func` returns something other than a Result.

            >>> Result.ok(4).flat_map(lambda x: Result.ok(x + 1))
            Ok(5)
        """
    def and_then[U, F = Never](self, func: Callable[[T], Result[U, F]]) -> Result[U, E | F]:
        """Another name for `flat_map`."""

    # Dictionary form: {"ok": True, "value": ...} or
    # {"ok": False, "error": ..., "code": ..., "details": ...}
    def to_dict(self) -> builtins.dict[str, Any]:
        """A new dict: `{"ok": True, "value": v}` for an Ok,
        `{"ok": False, "error": message}` plus `"code"` and `"details"` when
        present for an Err. `Result.from_dict` reads it back.

            >>> Result.err("m", code="E1").to_dict()
            {'ok': False, 'error': 'm', 'code': 'E1'}
        """

    # Result[int, str] at runtime is the class Result itself.
    @classmethod
    def __class_getitem__(cls, _item: object) -> type[Self]:
        """`Result[T, E]` for annotations; at runtime the class Result itself."""

    # Protocols: an Ok is a collection of its one value, an Err is empty.
    def __repr__(self) -> str:
        """`Ok(<str of the value>)`, `Err('<message>')` or
        `Err('<message>', code='<code>')`; details never show. Also `str()`.

        An exception raised by `str()` of the value passes through.
        """
    def __bool__(self) -> bool:
        """True for an Ok (whatever its value), False for an Err."""
    def __len__(self) -> int:
        """1 for an Ok, 0 for an Err."""
    def __iter__(self) -> Iterator[T]:
        """Yields the value of an Ok once; nothing for an Err."""
    # r >> f is r.flat_map(f); r | d is r.unwrap_or(d).
    def __rshift__[U, F = Never](self, value: Callable[[T], Result[U, F]], /) -> Result[U, E | F]:
        """`r >> func` is `r.flat_map(func)`.

            >>> Result.ok(4) >> (lambda x: Result.ok(x + 1))
            Ok(5)
        """
    def __or__[U](self, value: U, /) -> T | U:
        """`r | default` is `r.unwrap_or(default)`: the value of an Ok, else `default`."""

@final
class MayBe[T]:
    """An optional value: Just holding one value, or Nothing. Instances never
    change.

        >>> MayBe(None), MayBe(0), MayBe.just(None)
        (Nothing, Just(0), Just(None))
    """

    # MayBe(None) is Nothing; any other object gives a Just holding it.
    # As for Result.err: None alone gives MayBe[Never], not an unsolved T.
    def __new__[V = Never](cls, obj: V | None) -> MayBe[V]:
        """Nothing if `obj` is None, else a new Just holding `obj` (0, "" and
        False included)."""

    # Construction
    @staticmethod
    def just[V](obj: V) -> MayBe[V]:
        """A new Just holding `obj` itself, even None.

            >>> MayBe.just(None)
            Just(None)
        """
    @staticmethod
    def nothing() -> MayBe[Never]:
        """A new Nothing."""

    # Inspection and extraction
    def is_just(self) -> bool:
        """True for a Just, False for Nothing."""
    def is_nothing(self) -> bool:
        """True for Nothing, False for a Just."""
    def unwrap(self) -> T:
        """The value of a Just.

        Raises ValueError("Tried to unwrap a Nothing") on Nothing.
        """
    def expect(self, message: str) -> T:
        """The value of a Just.

        Raises ValueError(message), with your text, on Nothing, and TypeError
        if `message` is not a str (on a Just too).
        """
    def to_option(self) -> T | None:
        """The value of a Just, or None for Nothing."""
    def or_else[U](self, default: U) -> T | U:
        """The value of a Just, or `default` itself (never called) for Nothing.
        Same as `m | default`."""

    # Dispatch: the callable of the variant that is taken is called and its
    # result returned unchanged; a missing one (or None) makes match return None.
    # The first overload is for pyright only, as for Result.match.
    if not MYPY:
        @overload
        def match[U](self, just: Callable[[T], U], nothing: Callable[[], U]) -> U:
            """`just(value)` on a Just, `nothing()` on Nothing, returned as it is;
            None if that variant's function is missing.

                >>> MayBe.nothing().match(just=lambda v: v * 2, nothing=lambda: 0)
                0
            """
    @overload
    def match[U, W](self, just: Callable[[T], U], nothing: Callable[[], W]) -> U | W:  # pyright: ignore[reportOverlappingOverload]
        """`just(value)` on a Just, `nothing()` on Nothing, returned as it is;
        None if that variant's function is missing.

            >>> MayBe.nothing().match(just=lambda v: v * 2, nothing=lambda: 0)
            0
        """
    @overload
    def match[U](self, just: Callable[[T], U], nothing: None = None) -> U | None: ...
    @overload
    def match[W](self, just: None = None, *, nothing: Callable[[], W]) -> W | None: ...
    @overload
    def match[W](self, just: None, nothing: Callable[[], W]) -> W | None: ...
    @overload
    def match(self, just: None = None, nothing: None = None) -> None: ...

    # Combinators: each returns a new MayBe.
    def map[U](self, func: Callable[[T], U]) -> MayBe[U]:
        """A new Just holding `func(value)`, even if that is None; Nothing
        stays Nothing and `func` is not called.

            >>> MayBe.just(2).map(lambda x: x + 1)
            Just(3)
        """
    def flat_map[U](self, func: Callable[[T], MayBe[U]]) -> MayBe[U]:
        """A new MayBe holding what the MayBe `func(value)` holds; Nothing
        stays Nothing and `func` is not called. Same as `m >> func`.

        Raises TypeError if `func` returns something other than a MayBe.
        """

    # MayBe[int] at runtime is the class MayBe itself.
    @classmethod
    def __class_getitem__(cls, _item: object) -> type[Self]:
        """`MayBe[T]` for annotations; at runtime the class MayBe itself."""

    # Protocols: a Just is a collection of its one value, Nothing is empty.
    def __repr__(self) -> str:
        """`Just(<str of the value>)` or `Nothing`. Also `str()`.

        An exception raised by `str()` of the value passes through.
        """
    def __bool__(self) -> bool:
        """True for a Just (whatever its value), False for Nothing."""
    def __len__(self) -> int:
        """1 for a Just, 0 for Nothing."""
    def __iter__(self) -> Iterator[T]:
        """Yields the value of a Just once; nothing for Nothing."""
    # m >> f is m.flat_map(f); m | d is m.or_else(d).
    def __rshift__[U](self, value: Callable[[T], MayBe[U]], /) -> MayBe[U]:
        """`m >> func` is `m.flat_map(func)`.

            >>> MayBe.just(4) >> (lambda x: MayBe.just(x + 1))
            Just(5)
        """
    def __or__[U](self, value: U, /) -> T | U:
        """`m | default` is `m.or_else(default)`: the value of a Just, else `default`."""
