# The two commands of the README: `make run` and `make test`.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)

FUZZ_SECONDS ?= 60

.PHONY: setup configure build run test fuzz clean

setup:
	@bash scripts/setup.sh

configure: setup
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	./$(BUILD_DIR)/dravik-server

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 900

# Not part of test: clang and minutes per target, see fuzz/run-fuzzers.sh.
fuzz:
	@bash fuzz/run-fuzzers.sh $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD_DIR)
