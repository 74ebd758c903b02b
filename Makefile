# make test: install dependencies, build the default preset, run every test.
# make demo: install dependencies, build, and play a real block in a private sandbox.
.PHONY: all deps build test demo asan install uninstall clean

all: build

deps:
	scripts/install-deps

build: deps
	cmake --preset default >/dev/null
	cmake --build --preset default

test: build
	ctest --preset default

demo: build
	scripts/demo

asan: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan
	ctest --preset asan

clean:
	rm -rf build build-asan build-tsan build-clang
