# The benchmark suite: one table of ratios, each beside its goal, printed and written to
# bench/results.md. Never part of `make test`: it wants a few quiet minutes and valgrind.
# bench/profile_call.py breaks one call down by function when a figure needs explaining.
.PHONY: bench

bench: build
	$(ENV) python3 bench/bench.py --build $(BUILD)
