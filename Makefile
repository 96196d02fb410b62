# Everything runs inside the Python 3.14 environment (tools/env314), which sets itself
# up on first use.
ENV ?= tools/env314
BUILD ?= build
CMAKE_FLAGS ?=
# tools/env314 puts $(BUILD)/lib on the import path.
export ASI_BUILD_DIR := $(BUILD)

.PHONY: build test demo bench wheel-check clean

build:
	$(ENV) cmake -S . -B $(BUILD) -G Ninja -DASI_WERROR=ON -DASI_TEST_VARIANTS=ON $(CMAKE_FLAGS)
	$(ENV) cmake --build $(BUILD)

test: build
	$(ENV) python3 -m pytest tests
	$(ENV) tools/wheel-check

demo: build
	$(ENV) python3 examples/demo.py

wheel-check:
	$(ENV) tools/wheel-check

clean:
	rm -rf $(BUILD) build-*/ dist/
