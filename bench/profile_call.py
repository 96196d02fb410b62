"""Where the instructions of one call go: runs N calls of a statement under callgrind and
prints, per function, the instructions it spent per call (its own, not its callees').

    python3 bench/profile_call.py [--build BUILD_DIR] 'asi.stop_exposure(0)' [N] [ROWS]

The statement runs with camera 0 open and initialised, `asi` imported, and `asi` names
usable as in the benchmark. The loop's own cost (range, the eval loop) is part of the
listing; compare with 'operator.is_(1, 2)' to see it alone. Needs `make bench` (or
bench.py) to have built bench/ helpers into the build directory once."""

import argparse
import collections
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)


def child(floor_dir, statement, calls):
    sys.path[:0] = [floor_dir, HERE]
    import operator  # noqa: F401  (usable in the statement)

    import _benchfloor
    import families

    import asi  # noqa: F401

    families.prepare_cameras(families.Simulator())
    namespace = {"asi": asi, "operator": operator}
    exec(f"def run(n):\n    for _ in range(n):\n        {statement}\n", namespace)
    run = namespace["run"]
    run(100)  # the interpreter specialises on the first runs
    _benchfloor.mark()
    run(calls)
    _benchfloor.mark()


def self_costs(path):
    """Instructions per function, excluding callees, from one uncompressed callgrind dump."""
    costs = collections.Counter()
    function, object_file, after_call = None, "", False
    with open(path) as dump:
        for line in dump:
            if line.startswith("ob="):
                object_file = os.path.basename(line[3:].strip())
            elif line.startswith("fn="):
                function = f"{line[3:].strip()} [{object_file}]"
            elif line.startswith("calls="):
                after_call = True  # the next cost line is the callee's, inclusive
            elif line[:1].isdigit() or line[:1] in "+-*":
                fields = line.split()
                if after_call:
                    after_call = False
                elif len(fields) >= 2 and function:
                    costs[function] += int(fields[1])
    return costs


def main():
    if os.environ.get("ASI_PROFILE_CHILD"):
        child(*sys.argv[1:3], int(sys.argv[3]))
        return
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.environ.get("ASI_BUILD_DIR", "build"))
    parser.add_argument("statement")
    parser.add_argument("calls", nargs="?", type=int, default=10000)
    parser.add_argument("rows", nargs="?", type=int, default=25)
    options = parser.parse_args()
    floor_dir = os.path.join(REPO, options.build, "bench")
    with tempfile.TemporaryDirectory() as work:
        out = os.path.join(work, "cg")
        subprocess.run(
            ["valgrind", "--tool=callgrind", "--dump-before=bench_mark",
             "--compress-strings=no", "--compress-pos=no", f"--callgrind-out-file={out}",
             sys.executable, __file__, floor_dir, options.statement, str(options.calls)],
            env=dict(os.environ, ASI_PROFILE_CHILD="1"), check=True,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        costs = self_costs(out + ".2")  # dump 2 holds the measured calls alone
    total = sum(costs.values())
    print(f"{total / options.calls:,.0f} instructions per call of {options.statement}")
    for function, cost in costs.most_common(options.rows):
        print(f"{cost / options.calls:10,.1f}  {function}")


if __name__ == "__main__":
    main()
