# Set-up, build, run and test.  `make run` and `make test` do everything on a fresh Debian 12.
BUILD ?= build
SAN_BUILD ?= build-san
TSAN_BUILD ?= build-tsan
GENERATOR ?= Ninja
JOBS ?= $(shell nproc)

.PHONY: all deps build run test san san-build tsan bench fuzz clean

all: build

deps:
	@scripts/install-deps

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

run: build
	./$(BUILD)/orvantaserver --run

test: build
	@scripts/run-tests $(BUILD)

# One clang Debug build serves three runs: the unit tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, broad end-to-end modules against its server binary (a Debug
# build checks the lock order and aborts on an inversion, which fails the run), and the
# libFuzzer targets.  The hub's stress test runs a thousand client threads: a small per-thread
# quarantine keeps AddressSanitizer's memory within the test's bound.
SAN_E2E ?= test_ws,test_admin
# Line tables are all a sanitizer report needs; full debug information costs a tenth of the build.
SAN_DEBUG_INFO ?= -DCMAKE_C_FLAGS_DEBUG=-gline-tables-only -DCMAKE_CXX_FLAGS_DEBUG=-gline-tables-only
SAN_ASAN_OPTIONS ?= thread_local_quarantine_size_kb=64:quarantine_size_mb=64
$(SAN_BUILD)/build.ninja:
	CC=clang CXX=clang++ cmake -S . -B $(SAN_BUILD) -G $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug \
	  -DOV_SANITIZE=ON -DOV_BUILD_FUZZ=ON -DOV_BUILD_BENCH=OFF $(SAN_DEBUG_INFO)

san-build: deps $(SAN_BUILD)/build.ninja
	cmake --build $(SAN_BUILD) -j $(JOBS)

san: san-build
	@ASAN_OPTIONS="$(SAN_ASAN_OPTIONS)$(if $(ASAN_OPTIONS),:$(ASAN_OPTIONS))" \
	  scripts/run-tests $(SAN_BUILD) --e2e-modules=$(SAN_E2E)

# The unit tests that run threads (HTTP server, hub, log sink, database and pool, the read pool
# under long reads, security, event bus, service table, plug-in managers and routes, Lua engine,
# scheduler and maintenance, restart monitor, idle memory trim), built with ThreadSanitizer; any
# report fails the run.
TSAN_SUITES ?= HttpServerTest.* WSHub.* WebSocketConnection.* SessionManager* LogFile.* EventBus.* \
  Database* */DatabaseServerLossTest.* */DatabaseBackendTest.* */BusyBoard.* */ServerSession.* Pool.* SqliteConn.* PgConn.* MyConn.* RateLimiter.* LoginThrottle.* BlacklistDB.* \
  SecurityServices.* ServiceTable.* ServiceWalk.* Router.* SocketStream.* TlsTest.* WaitingConnections.* \
  PluginManagerTest.* PluginServerManagerTest.* PluginServicesTest.* PluginRouteRegistry.* \
  PluginLoaderTest.* PluginServiceProxyTest.* NodeWaitsTest.* PluginSdk.* \
  InstallerWithPlugins.* LuaEngineTest.* SchedulerTest.* MaintenanceTest.* RestartMonitorTest.* \
  MemoryTrim.*
empty :=
space := $(empty) $(empty)
TSAN_FILTER ?= $(subst $(space),:,$(strip $(TSAN_SUITES)))
# Only the test files of those suites are compiled; the build is configured again when this
# file (the list) changes.
$(TSAN_BUILD)/build.ninja: Makefile
	CC=clang CXX=clang++ cmake -S . -B $(TSAN_BUILD) -G $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug \
	  -DOV_TSAN=ON -DOV_BUILD_BENCH=OFF $(SAN_DEBUG_INFO) -DOV_UNIT_TEST_SUITES="$(TSAN_SUITES)"
	@touch $@

tsan: deps $(TSAN_BUILD)/build.ninja
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target ov_unit_tests
	@TSAN_OPTIONS="halt_on_error=0 second_deadlock_stack=1 $(TSAN_OPTIONS)" \
	  scripts/run-tests $(TSAN_BUILD) --unit-only --gtest-filter='$(TSAN_FILTER)'

bench: deps $(BUILD)/build.ninja
	cmake -S . -B $(BUILD) -DOV_BUILD_BENCH=ON
	cmake --build $(BUILD) -j $(JOBS)
	@scripts/run-bench $(BUILD)

fuzz: san-build
	@scripts/run-fuzz $(SAN_BUILD)

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(TSAN_BUILD)
