# A thin layer over CMake: `make demo` and `make test` install what is
# missing, build, and run. build/ holds the release build, build/asan the
# AddressSanitizer + UndefinedBehaviorSanitizer build of the same sources.
JOBS ?= 2
MAKEFLAGS += --no-print-directory
BUILD := build
ASAN := build/asan

.PHONY: all deps build asan test demo bench-analyze clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

asan: deps
	@cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE=ON -DVELMORA_BENCH=OFF >/dev/null
	@cmake --build $(ASAN) -j $(JOBS)

test: build asan
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	@ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir $(ASAN) --output-on-failure -j $(JOBS)

demo: build
	@scripts/demo.sh

# velmora analyze against the same analysis in the Python radar stack on
# volumes up to 700 x 700 x 50; minutes, so not part of `make test`.
# BENCH_ARGS passes options on, e.g. BENCH_ARGS="--repeat 1 --keep".
bench-analyze: build
	@/usr/bin/python3 bench/analyze_scale.py $(BENCH_ARGS)

clean:
	rm -rf $(BUILD)
