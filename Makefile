# Set-up, build, run and test.  `make run` and `make test` do everything on a fresh Debian 12.
BUILD ?= build
SAN_BUILD ?= build-san
GENERATOR ?= Ninja
JOBS ?= $(shell nproc)

.PHONY: all deps build run test unit e2e san bench fuzz clean

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

san: deps
	cmake -S . -B $(SAN_BUILD) -G $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DOV_SANITIZE=ON -DOV_BUILD_BENCH=OFF
	cmake --build $(SAN_BUILD) -j $(JOBS) --target ov_unit_tests
	@scripts/run-tests $(SAN_BUILD) --unit-only

bench: build
	@scripts/run-bench $(BUILD)

fuzz: deps
	@scripts/run-fuzz

clean:
	rm -rf $(BUILD) $(SAN_BUILD) build-fuzz
