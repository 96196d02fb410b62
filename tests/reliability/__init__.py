"""Helpers of the reliability checks: the table of module functions, a pure-Python model
of their call rules, and the harnesses for reference leaks and memory exhaustion. Nothing
here is collected by pytest; tests/test_fuzz.py and tests/test_stress.py use it, and the
make targets of tools/make/checks.mk run the harnesses."""
