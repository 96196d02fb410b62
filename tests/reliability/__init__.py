"""Helpers of the reliability checks: a pure-Python model of the call rules of the
functions in tests/functions.py, the cases that walk them, and the harnesses for
reference leaks and memory exhaustion. Nothing here is collected by pytest;
tests/test_fuzz.py uses the model, and the make targets of tools/make/checks.mk run the
harnesses."""
