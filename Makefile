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

# The thread-sensitive tests (service, timer and watcher, socket listener and admission, client,
# address refresh) under ThreadSanitizer.
TSAN_TESTS := daemon_service_test ipc_listener_test daemon_client_test reconciliation_timer_test \
  protection_watcher_test address_refresh_pass_test ipc_admission_test peer_admission_test
tsan: deps
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan --target $(TSAN_TESTS)
	ctest --preset tsan -R '^(DaemonService|WatchedService|ReconciliationTimer|NextReconciliation|SystemProtectionWatcher|IpcListener|DaemonClient|AddressRefreshPass|IpcAdmission|PeerAdmission)'

# clang: the thread-safety analysis over the daemon, then every fuzz target for a while.
FUZZ_SECONDS ?= 10
fuzz: deps
	cmake --preset clang >/dev/null
	cmake --build --preset clang --target tamrin_daemon_lib hosts_file_fuzz ipc_frame_fuzz json_decoders_fuzz \
		pfctl_rule_text_fuzz nftables_listing_fuzz configure_input_fuzz \
		suffix_list_fuzz nsswitch_hosts_fuzz
	scripts/run-fuzzers build-clang $(FUZZ_SECONDS)

clean:
	rm -rf build build-asan build-tsan build-clang
