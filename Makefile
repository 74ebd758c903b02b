# make test: install dependencies, build the default preset and the package, run every test.
# make demo: install dependencies, build, and play a real block in a private sandbox.
.PHONY: all deps build test demo asan tsan fuzz install uninstall deb clean

all: build

deps:
	scripts/install-deps

build: deps
	cmake --preset default >/dev/null
	cmake --build --preset default

# The package's own scenario installs build/tamrin_*.deb in the sandbox, so it is built first.
test: build deb
	ctest --preset default

demo: build
	scripts/demo

# As root: copy build/Tamrin.app to /opt/Tamrin.app, install and start the systemd service.
install: build
	scripts/install build/Tamrin.app

# As root: remove what `make install` put in place; refused while a block is running.
uninstall:
	scripts/uninstall

# The Debian package build/tamrin_<version>_<arch>.deb, as root or not (scripts/build-deb).
deb: deps
	scripts/build-deb

asan: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan
	ctest --preset asan

# The test programs marked THREADS in CMake (core, ipc, events, service) under ThreadSanitizer.
tsan: deps
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan --target thread_tests
	ctest --preset tsan -L threads

# clang: the thread-safety analysis over the daemon, then every fuzz target for a while.
FUZZ_SECONDS ?= 10
fuzz: deps
	cmake --preset clang >/dev/null
	cmake --build --preset clang --target fuzz_targets
	scripts/run-fuzzers build-clang $(FUZZ_SECONDS)

clean:
	rm -rf build build-asan build-tsan build-clang
