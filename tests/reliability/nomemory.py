"""Memory exhaustion, run under the debug interpreter (python3.14d) with _testcapi:

    PYTHONPATH=tests python3.14d -m reliability.nomemory [--import] [--calls] [-k SUBSTRING]

--import: `import asi` in a fresh interpreter per N, with every allocation from the Nth
on failing (_testcapi.set_nomemory(N, 0)) and, separately, with only the Nth failing
(set_nomemory(N, N + 1)), for every N until the import needs no more. The import must fail
cleanly with an exception (never SystemError, never a crash), and the same process must
then import the module and call it once the allocator works again.

--calls: for each case of reliability.cases, in this process, the same two sweeps around
one call: every allocation of the call fails in turn. The call must raise MemoryError or
do what it does with memory to spare (its own exception or result), never SystemError
or crash; and repeating the whole sweep must leave sys.gettotalrefcount() and
sys.getallocatedblocks() where they were (the sweep is repeated until they settle, and
fails if they grow on every repetition).

Exit status 1 on any failure; a crash shows as the death of this process (or the child)
with the case named on the last line printed."""

import argparse
import gc
import os
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import _testcapi

from . import cases as case_module

# After `import asi` fails, the child imports it again and calls it: the failure must
# not leave anything behind that stops the next import. What the import uses besides the
# module itself (typing, enum, the package it binds itself in) is loaded first: its
# allocations are Python's own import machinery, not the module's.
IMPORT_CHILD = r"""
import sys, typing, enum, _testcapi, halvarine.corvantis
start, stop = int(sys.argv[1]), int(sys.argv[2])
_testcapi.set_nomemory(start, stop)
try:
    import asi
except BaseException as error:
    _testcapi.remove_mem_hooks()
    outcome = type(error).__name__
else:
    _testcapi.remove_mem_hooks()
    outcome = "imported"
if outcome != "imported":
    sys.modules.pop("asi", None)
    import asi
assert asi.get_number_of_connected_cameras() >= 0
assert sys.modules["halvarine.corvantis.asi"] is asi, "a failed import left its module registered"
try:
    asi.open_camera(2**31)
except OverflowError:
    pass
print(outcome)
"""
MAX_ALLOCATIONS = 100_000


def import_once(start, stop):
    """(outcome or None, detail) of one child."""
    child = subprocess.run([sys.executable, "-X", "faulthandler", "-c", IMPORT_CHILD,
                            str(start), str(stop)], capture_output=True, text=True, timeout=300)
    lines = child.stdout.split()
    if child.returncode != 0 or not lines:
        return None, f"exit {child.returncode}: {child.stderr[-2000:]}"
    outcome = lines[-1]
    if outcome == "SystemError":
        return None, child.stderr[-2000:]
    return outcome, ""


def sweep_import(jobs):
    """Every N for both ways of failing; returns the number of failures."""
    # Where the import stops needing new allocations: the first N it succeeds with.
    low, high = 0, 1
    while import_once(high, 0)[0] != "imported":
        low, high = high, high * 2
        if high > MAX_ALLOCATIONS:
            print("nomemory: the import never succeeds", flush=True)
            return 1
    while low < high:
        middle = (low + high) // 2
        if import_once(middle, 0)[0] == "imported":
            high = middle
        else:
            low = middle + 1
    limit = high + 16
    print(f"nomemory: import needs {high} allocations; sweeping N = 0..{limit} twice", flush=True)
    runs = [(n, 0) for n in range(limit)] + [(n, n + 1) for n in range(limit)]
    failures, outcomes = 0, {}
    with ThreadPoolExecutor(jobs) as pool:
        for (start, stop), (outcome, detail) in zip(runs, pool.map(lambda r: import_once(*r), runs)):
            if outcome is None:
                failures += 1
                mode = "from" if stop == 0 else "only"
                print(f"FAIL import with allocation {start} failing ({mode}): {detail}", flush=True)
            else:
                outcomes[outcome] = outcomes.get(outcome, 0) + 1
    print(f"nomemory: import: {len(runs)} interpreters, outcomes {outcomes}, "
          f"{failures} failures", flush=True)
    return failures


def call_with_failing_allocations(case, start, stop):
    _testcapi.set_nomemory(start, stop)
    try:
        case.call()
    except BaseException as error:
        _testcapi.remove_mem_hooks()
        return error
    _testcapi.remove_mem_hooks()
    return None


def same_outcome(raised, normal):
    return type(raised) is type(normal)


def sweep_call(case, normal):
    """Both sweeps once; returns (number of N tried, problems)."""
    problems = []
    # From N on: ends once several N in a row let the call finish as it normally does.
    n, settled, limit = 0, 0, None
    while settled < 4:
        raised = call_with_failing_allocations(case, n, 0)
        if same_outcome(raised, normal):
            settled += 1
            limit = n if limit is None else limit
        else:
            settled, limit = 0, None
            if not isinstance(raised, MemoryError):
                problems.append(f"allocations from {n} failing: {raised!r}")
        n += 1
        if n > 5000:
            problems.append("still failing after 5000 allocations")
            break
    limit = n if limit is None else limit
    for n in range(limit + 2):
        raised = call_with_failing_allocations(case, n, n + 1)
        if not same_outcome(raised, normal) and not isinstance(raised, MemoryError):
            problems.append(f"allocation {n} failing: {raised!r}")
    return limit, problems


def repeated_sweeps(case, normal, repeats):
    """Sweeps the case `repeats` times; (N tried, problems, growth between sweeps)."""
    readings, problems, tried = [], [], 0
    for _ in range(repeats):
        limit, found = sweep_call(case, normal)
        tried += 2 * limit
        problems += found
        gc.collect()
        readings.append((sys.gettotalrefcount(), sys.getallocatedblocks()))
    growth = [(b[0] - a[0], b[1] - a[1]) for a, b in zip(readings, readings[1:])]
    return tried, problems, growth


def pinpoint(case, normal, repetitions=40):
    """The failing allocations after which the call leaks every time it is repeated."""
    limit, _ = sweep_call(case, normal)
    leaks = []
    for start, stop, label in [(n, n + 1, f"allocation {n} failing") for n in range(limit + 2)] + \
                              [(n, 0, f"allocations from {n} failing") for n in range(limit + 2)]:
        for _ in range(3):
            call_with_failing_allocations(case, start, stop)
        gc.collect()
        references, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
        for _ in range(repetitions):
            call_with_failing_allocations(case, start, stop)
        gc.collect()
        grown = (sys.gettotalrefcount() - references, sys.getallocatedblocks() - blocks)
        if max(grown) >= repetitions:
            leaks.append(f"{label} ({grown[0]} references, {grown[1]} blocks "
                         f"in {repetitions} calls)")
    return leaks


def sweep_calls(pattern, repeats, verbose):
    # What the readings themselves cost, from a call that allocates nothing.
    empty = case_module.Case("empty", lambda: None)
    for _ in range(3):
        baseline = repeated_sweeps(empty, None, repeats)[2]
    # The harness must see a leak that happens only when an allocation fails.
    kept = []

    def leaks_on_failure():
        token = object()
        try:
            return [token] * 3
        except MemoryError:
            kept.append(token)
            raise
    if not pinpoint(case_module.Case("canary", leaks_on_failure), None):
        sys.exit("nomemory: the harness does not see a leak on a failure path")
    del kept[:]

    selected = [c for c in case_module.all_cases() if c.memory_sweep and pattern in c.label]
    failures, tried, started = 0, 0, time.monotonic()
    for case in selected:
        if verbose:
            print(f"... {case.label}", flush=True)
        with case.setup():
            normal = case_module.run_once(case)
            problem = case.check(normal)
            if problem:
                print(f"FAIL {case.label}: {problem}", flush=True)
                failures += 1
                continue
            count, problems, growth = repeated_sweeps(case, normal, repeats)
            tried += count
            growth = [(r - r0, b - b0) for (r, b), (r0, b0) in zip(growth, baseline)]
            # The first sweep fills caches; a leak on some failure path grows every sweep,
            # and so does the churn of the interpreter's caches as the failures move
            # around. Which it is shows when each failure is repeated on its own.
            if all(r > 0 for r, _ in growth[1:]) or all(b > 0 for _, b in growth[1:]):
                leaks = pinpoint(case, normal)
                if leaks:
                    problems.append(f"leaks with {', '.join(leaks)}")
                elif verbose:
                    print(f"settling {case.label}: {growth}", flush=True)
            del normal
        if problems:
            failures += 1
            print(f"FAIL {case.label}:", *sorted(set(problems))[:5], sep="\n    ", flush=True)
    print(f"nomemory: calls: {len(selected)} cases, {tried} calls with an allocation failing, "
          f"{time.monotonic() - started:.1f} s, {failures} failures", flush=True)
    return failures


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--import", dest="imports", action="store_true")
    parser.add_argument("--calls", action="store_true")
    parser.add_argument("-k", dest="pattern", default="")
    parser.add_argument("--repeats", type=int, default=4, help="sweeps per case")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("-v", "--verbose", action="store_true", help="name each case first")
    options = parser.parse_args(argv)
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("nomemory: needs the debug interpreter (python3.14d)")
    failures = 0
    if options.imports or not options.calls:
        failures += sweep_import(options.jobs)
    if options.calls or not options.imports:
        failures += sweep_calls(options.pattern, options.repeats, options.verbose)
    if failures:
        sys.exit(1)


if __name__ == "__main__":
    main()
