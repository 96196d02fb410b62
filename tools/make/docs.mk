# The type stub and the typed example; `make test` runs both after the test suite.
# mypy finds the stub in the source tree through [tool.mypy] of pyproject.toml.
.PHONY: stubtest typecheck

# The stub against the built module: every name, parameter and property.
stubtest: build
	$(ENV) python3 -m mypy.stubtest asi --mypy-config-file pyproject.toml \
		--allowlist tools/stubtest-allowlist.txt

# The examples a user would write and the package's Python modules, under the strictest
# settings.
typecheck:
	$(ENV) python3 -m mypy --strict --cache-dir $(BUILD)/mypy-cache examples/*.py \
		examples/tests src/halvarine/corvantis/sim.py src/halvarine/corvantis/pytest_plugin.py \
		src/halvarine/corvantis/camera.py
