# make test: install dependencies, build the default preset, run every test.
# make demo: install dependencies, build, and play a real block in a private sandbox.
.PHONY: all deps build test demo asan tsan fuzz install uninstall clean

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

# As root: copy build/Tamrin.app to /opt/Tamrin.app, install and start the systemd service.
install: build
	scripts/install build/Tamrin.app

# As root: remove what `make install` put in place; refused while a block is running.
uninstall:
	scripts/uninstall

asan: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan
	ctest --preset asan

# The thread-sensitive tests (service and timer, socket listener, client) under ThreadSanitizer.
TSAN_TESTS := daemon_service_test ipc_listener_test daemon_client_test
tsan: deps
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan --target $(TSAN_TESTS)
	ctest --preset tsan -R '^(DaemonService|ReconciliationTimer|NextReconciliation|IpcListener|DaemonClient)'

# clang: the thread-safety analysis over the daemon, then every fuzz target for a while.
FUZZ_SECONDS ?= 10
fuzz: deps
	cmake --preset clang >/dev/null
	cmake --build --preset clang --target tamrin_daemon_lib hosts_file_fuzz ipc_frame_fuzz json_decoders_fuzz \
		suffix_list_fuzz
	scripts/run-fuzzers build-clang $(FUZZ_SECONDS)

clean:
	rm -rf build build-asan build-tsan build-clang
