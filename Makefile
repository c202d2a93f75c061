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

sanitizer-tests: deps
	@cmake -S . -B build-asan -G Ninja -DHALVORINE_SANITIZE=address,undefined >/dev/null
	@cmake --build build-asan
	@cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure --timeout 900
	@cmake -S . -B build-tsan -G Ninja -DHALVORINE_SANITIZE=thread >/dev/null
	@cmake --build build-tsan
	@cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --output-on-failure --timeout 900 -L capture

fuzz: deps
	@for target in fuzz/*/run.sh; do bash "$$target" $(FUZZ_SECONDS) || exit 1; done

demo: build
	@bash scripts/demo $(BUILD)

bench: build
	@for b in $(BUILD)/bin/bench_*; do echo "== $$b"; "$$b" || exit 1; done

clean:
	rm -rf build build-asan build-tsan build-fuzz
