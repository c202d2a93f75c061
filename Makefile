# The two entry points of the README: `make demo` and `make test`. Both install what is missing.
BUILD ?= build
CMAKE_FLAGS ?=
FUZZ_SECONDS ?= 60

.PHONY: all deps build test unit-tests sanitizer-tests fuzz demo bench clean

all: build

deps:
	@bash scripts/install-deps

build: deps
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD)

# Everything: the suite as built, the suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer, the capture tests under ThreadSanitizer, and a short fuzzing run.
test: unit-tests sanitizer-tests fuzz

unit-tests: build
	@cd $(BUILD) && ctest --output-on-failure --timeout 900

# Sanitizer builds favour build time over speed: -O1 and line tables only.
SANITIZER_FLAGS = -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1"
TSAN_TARGETS = HalvorineInputHelper screen_capture_test screen_capture_e2e_test faults_test

sanitizer-tests: deps
	@cmake -S . -B build-asan -G Ninja $(SANITIZER_FLAGS) -DHALVORINE_SANITIZE=address,undefined >/dev/null
	@cmake --build build-asan
	@cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure --timeout 900
	@cmake -S . -B build-tsan -G Ninja $(SANITIZER_FLAGS) -DHALVORINE_SANITIZE=thread >/dev/null
	@cmake --build build-tsan --target $(TSAN_TARGETS)
	@cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --output-on-failure --timeout 900 -L 'capture|faults'

fuzz: deps
	@bash fuzz/run.sh $(FUZZ_SECONDS)

demo: build
	@bash scripts/demo $(BUILD)

bench: build
	@for b in $(BUILD)/bin/bench_*; do echo "== $$b"; "$$b" || exit 1; done

clean:
	rm -rf build build-asan build-tsan build-fuzz
