# Reliability checks: sanitizers, reference leaks, memory exhaustion, fuzzing, thread
# stress and valgrind (scripts in tools/check/, harnesses in tests/reliability/). Each
# check builds what it needs in a folder of its own beside $(BUILD), so they can run
# next to each other and next to `make test`.
.PHONY: checks check-asan check-sdk-asan check-refleaks check-nomemory check-fuzz \
        check-stress check-tsan check-valgrind asan-build debug-build tsan-build \
        sdk-asan-build

ASAN_BUILD ?= $(BUILD)-asan
DEBUG_BUILD ?= $(BUILD)-debug
TSAN_BUILD ?= $(BUILD)-tsan
SDK_ASAN_BUILD ?= $(BUILD)-sdk-asan
# How long the longer runs go, in seconds, and how many examples the longer fuzz draws.
STRESS_SECONDS ?= 60
SDK_STRESS_SECONDS ?= 20
FUZZ_EXAMPLES ?= 400

CHECK_CMAKE = -G Ninja -DASI_WERROR=ON -DASI_TEST_VARIANTS=ON
# The harnesses import tests/reliability and halvarine.corvantis.sim.
HARNESS = PYTHONPATH=$(CURDIR)/tests ASI_BUILD_DIR=$(DEBUG_BUILD) $(ENV) python3.14d -X faulthandler

checks: check-asan check-refleaks check-nomemory check-fuzz check-stress check-tsan \
        check-valgrind

# --- AddressSanitizer and UndefinedBehaviorSanitizer --------------------------------------

asan-build:
	$(ENV) cmake -S . -B $(ASAN_BUILD) $(CHECK_CMAKE) -DASI_SANITIZE=address,undefined
	$(ENV) cmake --build $(ASAN_BUILD)

# The whole suite, fuzzing and thread stress included, in the sanitized module and SDK.
# Output is captured per test at the sys level only, so that a sanitizer's report on the
# process's stderr is never swallowed with a test's captured output.
check-asan: asan-build check-sdk-asan
	ASI_BUILD_DIR=$(ASAN_BUILD) $(ENV) tools/check/sanitized python3 -m pytest tests --capture=sys

# The SDK stress driver under ASan and UBSan, with leak detection on.
sdk-asan-build:
	$(ENV) cmake -S tools/check/sdk-stress -B $(SDK_ASAN_BUILD) -G Ninja \
	    -DASI_STRESS_SANITIZE=address,undefined
	$(ENV) cmake --build $(SDK_ASAN_BUILD)

check-sdk-asan: sdk-asan-build
	ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	    $(ENV) $(SDK_ASAN_BUILD)/bin/sdk_stress $(SDK_STRESS_SECONDS)

# --- The debug interpreter: reference leaks and memory exhaustion ---------------------

debug-build:
	$(ENV) cmake -S . -B $(DEBUG_BUILD) $(CHECK_CMAKE) -DPython_EXECUTABLE=/usr/bin/python3.14d
	$(ENV) cmake --build $(DEBUG_BUILD)

check-refleaks: debug-build
	$(HARNESS) -m reliability.refleaks

check-nomemory: debug-build
	$(HARNESS) -m reliability.nomemory

# --- Fuzzing and thread stress, longer than in the quick suite -------------------------

check-fuzz: build
	ASI_FUZZ_EXAMPLES=$(FUZZ_EXAMPLES) $(ENV) python3 -m pytest tests/test_fuzz.py

check-stress: build
	ASI_STRESS_SECONDS=$(STRESS_SECONDS) $(ENV) python3 -m pytest tests/test_stress.py

# --- ThreadSanitizer over the substitute SDK ------------------------------------------

tsan-build:
	$(ENV) cmake -S tools/check/sdk-stress -B $(TSAN_BUILD) -G Ninja -DASI_STRESS_SANITIZE=thread
	$(ENV) cmake --build $(TSAN_BUILD)

check-tsan: tsan-build
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	    $(ENV) $(TSAN_BUILD)/bin/sdk_stress $(SDK_STRESS_SECONDS)

# --- Valgrind memcheck ----------------------------------------------------------------

check-valgrind: build
	$(ENV) tools/check/valgrind
