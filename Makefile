# make run   - install missing dependencies, build, run the demonstration
# make check - install missing dependencies, build, run every test (plain and sanitizer builds)
#              every fuzz target for FUZZ_CI_SECONDS on its seeds, and a short soak of the pair
# make fuzz  - build the libFuzzer targets with clang and run each for FUZZ_SECONDS
#              (FUZZ_TARGETS="rsp dedup" picks some, FUZZ_JOBS how many run at once)
# make soak  - soak of the appliance pair under faults (SOAK_SECONDS, default 600; SOAK_SEED)

BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
SOAK_SECONDS       ?= 600
SOAK_SHORT_SECONDS ?= 120
CMAKE_GEN  := -G Ninja
FUZZ_BUILD      ?= build-fuzz
FUZZ_SECONDS    ?= 300
FUZZ_CI_SECONDS ?= 20
FUZZ_JOBS       ?= 1
FUZZ_TARGETS    ?=

.PHONY: all deps build build-asan build-fuzz run check test test-asan fuzz fuzz-check soak soak-short bench clean

all: build

deps:
	@scripts/install-deps.sh

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

$(ASAN_BUILD)/build.ninja: | deps
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DQUILO_SANITIZE=ON \
	  -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g"

# The fuzz build: clang, libFuzzer with ASan+UBSan; only the fuzz targets
# and the libraries they link are built.
$(FUZZ_BUILD)/build.ninja: | deps
	cmake -S . -B $(FUZZ_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DQUILO_FUZZ=ON \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_CXX_FLAGS_DEBUG="-O1 -gline-tables-only" -DCMAKE_C_FLAGS_DEBUG="-O1 -gline-tables-only"

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)

build-fuzz: deps $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzzers

run: build
	@scripts/demo.sh $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: build-asan
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) -LE no_sanitizer

# Every target for FUZZ_CI_SECONDS on its seeds, two at a time.
fuzz-check: build-fuzz
	scripts/fuzz.sh --ci -b $(FUZZ_BUILD) -t $(FUZZ_CI_SECONDS) -j 2

check: test test-asan fuzz-check soak-short

fuzz: build-fuzz
	scripts/fuzz.sh -b $(FUZZ_BUILD) -t $(FUZZ_SECONDS) -j $(FUZZ_JOBS) $(FUZZ_TARGETS)

soak: build
	scripts/soak.py --build $(BUILD) --seconds $(SOAK_SECONDS)

# The short soak of make check; without root it is skipped, as the
# integration tests are.
soak-short: build
	@if [ "$$(id -u)" -ne 0 ]; then echo "soak: skipped (needs root for network namespaces)"; \
	else scripts/soak.py --build $(BUILD) --seconds $(SOAK_SHORT_SECONDS); fi

bench: build
	@scripts/bench.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
