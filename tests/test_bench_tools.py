"""The free-threading benchmarks compare like with like: every workload runs
on both implementations, and the profile's arithmetic adds up. Whether the
figures are good is for the benchmarks, not the tests."""

import pathlib
import sys

import pytest

BENCH = pathlib.Path(__file__).parent.parent / "bench"
sys.path.insert(0, str(BENCH))

import ftprofile  # noqa: E402
import ftscaling  # noqa: E402


@pytest.mark.parametrize("name", list(ftscaling.WORKLOADS))
def test_workload_runs_on_both_implementations(name):
    stmt, setup = ftscaling.WORKLOADS[name]
    for impl in ftscaling.SETUP:
        work = ftscaling.make_work(ftscaling.namespace(impl), stmt, setup)
        work(3)
        wall, cpu = ftscaling.run_timed(work, 3, 2)
        assert wall > 0 and cpu >= 0


def test_profile_report_parsing_and_table():
    report = """
# Samples: 12
    50.00%             6  python3.13t                  [.] _Py_DecRefShared
    25.00%             3  tarvella.cpython-313t-x86_64-linux-gnu.so  [.] 0x000000000002eb63
     8.33%             1  tarvella.cpython-313t-x86_64-linux-gnu.so  [.] PyObject_GC_UnTrack@plt
     8.33%             1  [kernel.kallsyms]            [k] clear_page_erms
     8.33%             1  python3.13t                  [.] method_vectorcall_FASTCALL_KEYWORDS
"""
    samples = ftprofile.parse_report(report)
    assert samples == {"_Py_DecRefShared": 6, ftprofile.OWN_CODE: 4, "clear_page_erms": 1,
                       "method_vectorcall_FASTCALL_KEYWORDS": 1}
    results = {"1": {"_Py_DecRefShared": 1.0, ftprofile.OWN_CODE: 10.0, "a": 5.0, "b": 4.0},
               "2": {"_Py_DecRefShared": 30.0, ftprofile.OWN_CODE: 11.0, "a": 5.0, "b": 2.0}}
    lines = ftprofile.table("w", "tarvella", [1, 2], results, top=1).splitlines()
    # The function that grew most, tarvella's own row although it did not,
    # then the rest and the totals.
    assert lines[4:] == ["| `_Py_DecRefShared` | 1 | 30 |",
                         f"| `{ftprofile.OWN_CODE}` | 10 | 11 |",
                         "| everything else | 9 | 7 |",
                         "| **all** | 20 | 48 |"]


def test_scaling_rows_and_verdict():
    rows = ftscaling.measure(1, [1, 2], only=["make Nothing"], target_s=0.001)
    [row] = rows
    for impl in ftscaling.SETUP:
        # Each implementation gets its own N, and every figure is there.
        assert row["n"][impl] >= 1000
        for t in ("1", "2"):
            assert set(row[impl][t]) == {"ns_per_op", "ops_per_s", "scaling", "cpu_ns_per_op"}
            assert all(v > 0 for v in row[impl][t].values())

    def fake(tv_scaling, tv_ops, pl_scaling=1.8, pl_ops=10.0):
        return {"workload": "w",
                "tarvella": {"2": {"scaling": tv_scaling, "ops_per_s": tv_ops}},
                "plain": {"2": {"scaling": pl_scaling, "ops_per_s": pl_ops}}}

    # Behind: fewer values per second, or a scaling under 0.9 of theirs.
    assert ftscaling.verdict([fake(1.63, 10.0)], [1, 2]) == []
    assert ftscaling.verdict([fake(1.61, 20.0)], [1, 2]) == ["w (2 threads)"]
    assert ftscaling.verdict([fake(2.0, 9.9)], [1, 2]) == ["w (2 threads)"]
