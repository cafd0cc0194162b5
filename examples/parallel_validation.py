"""Validating a batch of records across worker processes.

Each worker checks records and returns one Result per record instead of
raising. Results and MayBes pickle, so they travel between processes like any
other value: an Err arrives with its message, code and details, an Ok with
its value, here a Person whose optional age is a MayBe. The Results then go
back into the pool once more, to a task that summarises the Errs by code.
"""

from collections import Counter
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass
from typing import Any

from tarvella import MayBe, Result

type Record = dict[str, Any]
type Details = dict[str, object]


@dataclass(frozen=True)
class Person:
    id: int
    email: str
    age: MayBe[int]


RECORDS = [
    {"id": 1, "email": "ada@example.org", "age": "36"},
    {"id": 2, "email": "grace.example.org", "age": "45"},
    {"id": 3, "email": "alan@example.org", "age": "forty-one"},
    {"id": 4, "email": "edsger@example.org", "age": "212"},
    {"id": 5, "email": "barbara@example.org"},
    {"id": 6, "email": "", "age": "29"},
    {"id": 7, "email": "donald@example.org", "age": "x"},
    {"id": 8, "email": "frances@example.org", "age": "51"},
]


def parse_age(record_id: int, text: str) -> Result[int, Details]:
    details: Details = {"id": record_id, "age": text}
    if not text.isdigit():
        return Result.err("age is not a whole number", code="AGE_FORMAT", details=details)
    if int(text) > 150:
        return Result.err("age out of range", code="AGE_RANGE", details=details)
    return Result.ok(int(text))


def validate(record: Record) -> Result[Person, Details]:
    """Runs in a worker process."""
    email: str = record.get("email", "")
    if "@" not in email:
        return Result.err("invalid e-mail address", code="EMAIL",
                          details={"id": record["id"], "email": email})
    age_text: MayBe[str] = MayBe(record.get("age"))  # a missing age is Nothing, not an error
    if age_text.is_nothing():
        return Result.ok(Person(record["id"], email, MayBe.nothing()))
    return parse_age(record["id"], age_text.unwrap()).map(
        lambda age: Person(record["id"], email, MayBe.just(age)))


def errs_by_code(results: list[Result[Person, Details]]) -> Counter[str | None]:
    """Runs in a worker process too: the Results travel back into the pool."""
    return Counter(r.unwrap_err()[1] for r in results if r.is_err())


def main() -> None:
    with ProcessPoolExecutor(max_workers=2) as pool:
        results = list(pool.map(validate, RECORDS, chunksize=2))
        summary = pool.submit(errs_by_code, results).result()

    valid = [r.unwrap() for r in results if r.is_ok()]
    print(f"{len(valid)} of {len(results)} records are valid:")
    for person in valid:
        print(f"  {person.id}: {person.email}, age {person.age.map(str).or_else('unknown')}")
    print("errors by code:")
    for code, count in sorted(summary.items()):
        print(f"  {code}: {count}")
    for r in results:
        if r.is_err():
            message, code, details = r.unwrap_err()
            print(f"  [{code}] {message}: {details}")

    assert summary == {"EMAIL": 2, "AGE_FORMAT": 2, "AGE_RANGE": 1}


if __name__ == "__main__":
    main()
