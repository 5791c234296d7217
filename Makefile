# Thin wrapper around CMake. `make run` builds and starts the service in the
# foreground with its defaults; `make test` builds and runs the test suite.
BUILD ?= build
CMAKE_ARGS ?=
# ON turns compiler warnings into errors, as CI and development do.
WERROR ?= OFF
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

FUZZ_SECONDS ?= 60
FUZZERS = tpkt syslog_framer client_message config provider_key datetime stream_message

PREFIX ?= /usr/local
# The one place the version is set is CMakeLists.txt.
VERSION := $(shell sed -n 's/^project.LogServer VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

.PHONY: all deps build run test asan tsan load bench fuzz install deb clean

all: build

deps:
	@sh tools/deps.sh

build: deps
	cmake -S . -B $(BUILD) -DLOGSERVER_WERROR=$(WERROR) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/LogServer

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
asan:
	LOGSERVER_LOAD_SCALE=0.1 $(MAKE) test BUILD=build-asan CMAKE_ARGS="-DCMAKE_BUILD_TYPE=Debug -DLOGSERVER_SANITIZE=address,undefined"

# The whole suite again under ThreadSanitizer.
tsan:
	TSAN_OPTIONS="suppressions=$(CURDIR)/tools/tsan.supp $(TSAN_OPTIONS)" LOGSERVER_LOAD_SCALE=0.1 $(MAKE) test BUILD=build-tsan CMAKE_ARGS="-DCMAKE_BUILD_TYPE=Debug -DLOGSERVER_SANITIZE=thread"

# Installs under PREFIX (DESTDIR is honoured): see README.md.
install: deps
	cmake -S . -B $(BUILD) -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS)
	DESTDIR=$(DESTDIR) cmake --install $(BUILD)

# The Debian package, build-deb/logserver_VERSION-1_ARCH.deb, built with
# dpkg-buildpackage and debhelper from a copy of the sources.
deb:
	@command -v dpkg-buildpackage >/dev/null 2>&1 && command -v dh >/dev/null 2>&1 || \
	  { echo "make deb needs: apt-get install -y debhelper dpkg-dev" >&2; exit 1; }
	rm -rf build-deb
	mkdir -p build-deb/logserver-$(VERSION)
	tar --exclude='./build*' --exclude=./.git -cf - . | tar -xf - -C build-deb/logserver-$(VERSION)
	sed -e 's/@VERSION@/$(VERSION)/' -e "s/@DATE@/$$(date -R)/" debian/changelog.in \
	  > build-deb/logserver-$(VERSION)/debian/changelog
	cd build-deb/logserver-$(VERSION) && dpkg-buildpackage -b -us -uc
	@ls build-deb/*.deb

# The load and fault tests at five times their CI size.
load: build
	cd $(BUILD) && LOGSERVER_LOAD_SCALE=5 ctest --output-on-failure -R LoadTest

# The service end to end over loopback (msgs/s, loss, CPU per message, idle
# cost, latency), then the registry's routing cost alone.
bench: build
	$(BUILD)/e2e_bench $(BUILD)/LogServer
	$(BUILD)/registry_bench

# Every libFuzzer harness for FUZZ_SECONDS, starting from its seed corpus in
# fuzz/corpus; new inputs collect in build-fuzz/corpus-NAME. Any crash, leak
# or sanitizer report fails the target.
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLOGSERVER_TESTS=OFF \
	  -DLOGSERVER_WERROR=$(WERROR) \
	  -DLOGSERVER_FUZZ=ON -DLOGSERVER_SANITIZE=address,undefined,fuzzer-no-link
	cmake --build build-fuzz -j $(JOBS)
	set -e; for f in $(FUZZERS); do \
	  mkdir -p build-fuzz/corpus-$$f; \
	  build-fuzz/fuzz/fuzz_$$f -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    -artifact_prefix=build-fuzz/crash-$$f- build-fuzz/corpus-$$f fuzz/corpus/$$f; \
	done

clean:
	rm -rf build build-asan build-tsan build-fuzz build-release build-clang build-deb
