# The two commands of the README, `make run` and `make test`, and `make install`.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)

FUZZ_SECONDS ?= 60

PREFIX ?= /usr/local
DESTDIR ?=

.PHONY: setup configure build run test install fuzz clean

# build and run need the compiler, CMake and Qt only; test adds the test tools and
# builds the tests and benchmarks too.
setup:
	@bash scripts/setup.sh

configure: setup
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRAVIK_TESTS=OFF >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	./$(BUILD_DIR)/dravik-server

test:
	@bash scripts/setup.sh test
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRAVIK_TESTS=ON >/dev/null
	@cmake --build $(BUILD_DIR) -j $(JOBS)
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 900

# A staging DESTDIR (packagers) may be relative; cmake would take it from its own
# working folder, so it is made absolute here.
install: build
	DESTDIR=$(if $(DESTDIR),$(abspath $(DESTDIR))) cmake --install $(BUILD_DIR) --prefix $(PREFIX)

# Not part of test: clang and minutes per target, see fuzz/run-fuzzers.sh.
fuzz:
	@bash fuzz/run-fuzzers.sh $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD_DIR)
