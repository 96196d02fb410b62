"""Reference and memory-block leak hunt, run under the debug interpreter (python3.14d):

    PYTHONPATH=tests python3.14d -m reliability.refleaks [-k SUBSTRING] [--loops N]

Every case of reliability.cases runs `warmups` rounds first, so that caches, interned
strings, warning registries and free lists fill up, then `rounds` measured rounds of
`loops` calls each. Around each measured round the harness reads sys.gettotalrefcount()
and sys.getallocatedblocks(), after a garbage collection. The harness's own readings cost
a constant that an empty case measures, subtracted from every round.

Each case takes the same path on every call, so a leak on that path loses at least one
reference or block per call: a case leaks when every measured round grows by at least
`loops` references or `loops` blocks, and still does with eight times as many calls per
round. Smaller or irregular growth is the interpreter's caches at work (its method cache
keeps the last name string looked up in each slot, for one) and is shown as "settling"
without failing; a deliberately leaking case checks first that the harness sees a leak of
one reference per call. Image buffers are kept below pymalloc's small-object limit, so a
lost buffer counts as a block too.

Exit status 1 if any case leaks or does not do what it must (raise or return)."""

import argparse
import gc
import sys
import time

from . import cases as case_module


def _measure(case, rounds, loops):
    run_once = case_module.run_once
    deltas = []
    # One more round than asked: the first sees the harness's own locals come to life.
    for _ in range(rounds + 1):
        gc.collect()
        references, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
        for _ in range(loops):
            run_once(case)
        gc.collect()
        deltas.append((sys.gettotalrefcount() - references,
                       sys.getallocatedblocks() - blocks))
    return deltas[1:]


def hunt(case, warmups, rounds, loops, baseline):
    """(problem or None, adjusted deltas) for one case."""
    with case.setup():
        first = case_module.run_once(case)
        problem = case.check(first)
        del first
        if problem:
            return problem, []
        for _ in range(warmups * loops):
            case_module.run_once(case)
        deltas = _measure(case, rounds, loops)
    adjusted = [(r - baseline[0], b - baseline[1]) for r, b in deltas]
    if all(r >= loops for r, _ in adjusted) or all(b >= loops for _, b in adjusted):
        return "leaks", adjusted
    return None, adjusted


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-k", dest="pattern", default="", help="only cases whose label has this")
    parser.add_argument("--warmups", type=int, default=2)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--loops", type=int, default=8)
    parser.add_argument("-v", "--verbose", action="store_true", help="show every case")
    options = parser.parse_args(argv)
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("refleaks: needs the debug interpreter (python3.14d)")

    # What the readings themselves cost, once the harness has settled.
    empty = case_module.Case("empty", lambda: None)
    for _ in range(5):
        baseline_rounds = _measure(empty, options.rounds, options.loops)
        if len(set(baseline_rounds)) == 1:
            break
    else:
        sys.exit(f"refleaks: the harness itself is not steady: {baseline_rounds}")
    baseline = baseline_rounds[0]

    kept = []
    canary = case_module.Case("canary", lambda: kept.append(object()))
    if hunt(canary, options.warmups, options.rounds, options.loops, baseline)[0] != "leaks":
        sys.exit("refleaks: the harness does not see a leak of one object per call")
    del kept[:]

    selected = [c for c in case_module.all_cases() if options.pattern in c.label]
    started = time.monotonic()
    failures, unsteady = [], 0
    for case in selected:
        problem, adjusted = hunt(case, options.warmups, options.rounds, options.loops, baseline)
        if problem == "leaks":
            # A real leak grows with the number of calls; a cache's churn does not.
            problem, adjusted = hunt(case, options.warmups, options.rounds, 8 * options.loops,
                                     baseline)
        steady = all(delta == (0, 0) for delta in adjusted)
        unsteady += not steady and not problem
        if problem or options.verbose or not steady:
            mark = "FAIL" if problem else ("ok" if steady else "settling")
            print(f"{mark:8} {case.label}: {problem or ''} {adjusted}", flush=True)
        if problem:
            failures.append(case.label)
    calls = len(selected) * (1 + (options.warmups + options.rounds) * options.loops)
    print(f"refleaks: {len(selected)} cases, {calls} calls, {options.rounds} measured rounds "
          f"of {options.loops} per case, {time.monotonic() - started:.1f} s; "
          f"{len(failures)} leaking or wrong, {unsteady} settling")
    if failures:
        print("refleaks: FAILED:", ", ".join(failures))
        sys.exit(1)


if __name__ == "__main__":
    main()
