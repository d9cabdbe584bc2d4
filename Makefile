# Set-up, build, run and test.  `make run` and `make test` do everything on a fresh Debian 12.
BUILD ?= build
SAN_BUILD ?= build-san
GENERATOR ?= Ninja
JOBS ?= $(shell nproc)

.PHONY: all deps build run test san san-build bench fuzz clean

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

# One clang build serves both: the unit tests under AddressSanitizer + UndefinedBehaviorSanitizer
# and the libFuzzer targets.
$(SAN_BUILD)/build.ninja:
	CC=clang CXX=clang++ cmake -S . -B $(SAN_BUILD) -G $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug \
	  -DOV_SANITIZE=ON -DOV_BUILD_FUZZ=ON -DOV_BUILD_BENCH=OFF

san-build: deps $(SAN_BUILD)/build.ninja
	cmake --build $(SAN_BUILD) -j $(JOBS)

san: san-build
	@scripts/run-tests $(SAN_BUILD) --unit-only

bench: build
	@scripts/run-bench $(BUILD)

fuzz: san-build
	@scripts/run-fuzz $(SAN_BUILD)

clean:
	rm -rf $(BUILD) $(SAN_BUILD)
