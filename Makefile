# make run   - install missing dependencies, build, run the demonstration
# make check - install missing dependencies, build, run every test (plain and sanitizer builds)
#              and a short soak of the appliance pair
# make soak  - soak of the appliance pair under faults (SOAK_SECONDS, default 600; SOAK_SEED)

BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
SOAK_SECONDS       ?= 600
SOAK_SHORT_SECONDS ?= 120
CMAKE_GEN  := -G Ninja

.PHONY: all deps build build-asan run check test test-asan soak soak-short bench clean

all: build

deps:
	@scripts/install-deps.sh

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

$(ASAN_BUILD)/build.ninja: | deps
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DQUILO_SANITIZE=ON \
	  -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g"

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)

run: build
	@scripts/demo.sh $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: build-asan
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) -LE no_sanitizer

check: test test-asan soak-short

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
	rm -rf $(BUILD) $(ASAN_BUILD)
