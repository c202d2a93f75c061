# The two entry points of the README: `make demo` and `make test`. Both install what is missing.
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: all deps build test demo bench clean

all: build

deps:
	@bash scripts/install-deps

build: deps
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD)

test: build
	@cd $(BUILD) && ctest --output-on-failure --timeout 600

demo: build
	@bash scripts/demo $(BUILD)

bench: build
	@bash scripts/bench $(BUILD)

clean:
	rm -rf $(BUILD)
