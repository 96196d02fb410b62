"""Run under callgrind with --dump-before=bench_mark: for every timed candidate, N calls
then 2N calls, each stretch closed by a call of _benchfloor.mark(), so that the difference
of the two stretches divided by N is the cost of one call, with start-up and the
loop's set-up cancelled out.

    python3 callgrind_probe.py FLOOR_DIR N

Prints the candidate keys in dump order, one per line."""

import sys

sys.path.insert(0, sys.argv[1])

import _benchfloor  # noqa: E402

import families  # noqa: E402


def main():
    n = int(sys.argv[2])
    sim = families.Simulator()
    families.prepare_cameras(sim)
    for key, function, args in families.candidates(_benchfloor):
        loop = families.make_loop(function, args)
        loop(50)  # the interpreter specialises the loop on its first runs
        _benchfloor.mark()
        loop(n)
        _benchfloor.mark()
        loop(2 * n)
        _benchfloor.mark()
        print(key)


if __name__ == "__main__":
    main()
