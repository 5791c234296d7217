# Thin wrapper around CMake. `make run` builds and starts the service in the
# foreground with its defaults; `make test` builds and runs the test suite.
BUILD ?= build
CMAKE_ARGS ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps build run test asan tsan clean

all: build

deps:
	@sh tools/deps.sh

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/LogServer

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
asan:
	$(MAKE) test BUILD=build-asan CMAKE_ARGS="-DCMAKE_BUILD_TYPE=Debug -DLOGSERVER_SANITIZE=address,undefined"

# The whole suite again under ThreadSanitizer.
tsan:
	$(MAKE) test BUILD=build-tsan CMAKE_ARGS="-DCMAKE_BUILD_TYPE=Debug -DLOGSERVER_SANITIZE=thread"

clean:
	rm -rf build build-asan build-tsan
