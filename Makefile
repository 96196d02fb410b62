# Everything runs inside the Python 3.14 environment (tools/env314), which sets itself
# up on first use. Targets of each area live in tools/make/*.mk.
ENV ?= tools/env314
BUILD ?= build
CMAKE_FLAGS ?=
# tools/env314 puts $(BUILD)/lib on the import path.
export ASI_BUILD_DIR := $(BUILD)

.PHONY: build test wheel-check clean

build:
	$(ENV) cmake -S . -B $(BUILD) -G Ninja -DASI_WERROR=ON -DASI_TEST_VARIANTS=ON $(CMAKE_FLAGS)
	$(ENV) cmake --build $(BUILD)

include $(sort $(wildcard tools/make/*.mk))

# Every step of `make test`: the suite, then the wheel, the stub, the typed example and
# tools/env314 as users' own scripts meet it.
test: build
	$(ENV) python3 -m pytest tests
	$(MAKE) --no-print-directory wheel-check stubtest typecheck env314-check

wheel-check:
	$(ENV) tools/wheel-check

clean:
	rm -rf $(BUILD) build-*/ dist/
