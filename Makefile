# The two entry points of the README: `make demo` and `make test`. Both install what is missing.
BUILD ?= build
CMAKE_FLAGS ?=
FUZZ_SECONDS ?= 60
# Warnings are errors only where asked for (make test does); a plain build keeps what its tree has.
WERROR ?=
werror_flag = $(if $(WERROR),-DHALVORINE_WERROR=$(WERROR))

.PHONY: all deps build test unit-tests release-tests package package-check sanitizer-tests fuzz \
        demo bench clean

all: build

deps:
	@bash scripts/install-deps

build: deps
	@cmake -S . -B $(BUILD) -G Ninja $(werror_flag) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD)

# Everything: the suite as built, the quick suite of an optimised Release build, the Debian package
# with lintian, the suite again under AddressSanitizer and UndefinedBehaviorSanitizer, the capture
# tests under ThreadSanitizer, and a short fuzzing run. Every build treats warnings as errors.
test: WERROR = ON
test: unit-tests release-tests package-check sanitizer-tests fuzz

unit-tests: build
	@cd $(BUILD) && ctest --output-on-failure --timeout 900

# What a packager's standard build does (-O3 and no sanitizer); the tests are built too, so that a
# warning that only optimisation brings out cannot creep in.
release-tests: deps
	@cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release $(werror_flag) $(CMAKE_FLAGS) >/dev/null
	@cmake --build build-release
	@cd build-release && ctest --output-on-failure --timeout 900 -L unit

# The Debian package, built as Debian builds packages: its compiler and linker flags
# (dpkg-buildflags, full hardening), the shared Debian libraries, no tests.
VERSION = $(shell sed -n 's/^ *VERSION \([0-9.]*\)$$/\1/p' CMakeLists.txt)
DEB_FLAGS = DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get
package: deps
	@cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=None -DBUILD_TESTING=OFF \
	  -DHALVORINE_STATIC_LIBRARIES=OFF $(werror_flag) $(CMAKE_FLAGS) \
	  -DCMAKE_CXX_FLAGS="$$($(DEB_FLAGS) CXXFLAGS) $$($(DEB_FLAGS) CPPFLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$$($(DEB_FLAGS) LDFLAGS)" >/dev/null
	@cmake --build build-package
	@cd build-package && cpack -G DEB | grep -o "[^/ ]*\.deb"

package-check: package
	@bash tests/shipping/package_test.sh $(VERSION) build-package/halvorine-helpers_$(VERSION)_*.deb
	@lintian --fail-on error --display-info build-package/halvorine-helpers_$(VERSION)_*.deb
	@echo "lintian: no errors"

# Sanitizer builds favour build time over speed: -O1 and line tables only.
SANITIZER_FLAGS = -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1"
TSAN_TARGETS = HalvorineInputHelper screen_capture_test strip_encoder_test screen_capture_e2e_test faults_test

sanitizer-tests: deps
	@cmake -S . -B build-asan -G Ninja $(SANITIZER_FLAGS) $(werror_flag) -DHALVORINE_SANITIZE=address,undefined >/dev/null
	@cmake --build build-asan
	@cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure --timeout 900
	@cmake -S . -B build-tsan -G Ninja $(SANITIZER_FLAGS) $(werror_flag) -DHALVORINE_SANITIZE=thread >/dev/null
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
	rm -rf build build-release build-package build-asan build-tsan build-fuzz
