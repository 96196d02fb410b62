"""A check that a failing call, repeated, leaves nothing behind."""

import sys
import tracemalloc

import pytest


def assert_failing_call_leaks_nothing(call, error, types):
    """Fails `call` (which must raise `error`) a thousand times, twice, and checks that
    the second round left neither allocated blocks nor references to `types` behind."""

    def fail(times):
        for _ in range(times):
            with pytest.raises(error):
                call()

    tracemalloc.start()
    try:
        fail(1000)  # the interpreter's own one-time allocations happen here
        references = [sys.getrefcount(t) for t in types]
        before = tracemalloc.take_snapshot()
        fail(1000)
        after = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    # Blocks, not bytes: a table the interpreter grows now and then is one block, while a
    # buffer or record lost per call would be a thousand.
    assert sum(stat.count_diff for stat in after.compare_to(before, "filename")) < 100
    assert [sys.getrefcount(t) for t in types] == references
