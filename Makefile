# A thin layer over CMake: `make demo` and `make test` install what is
# missing, build, and run. build/ holds the release build, build/asan the
# AddressSanitizer + UndefinedBehaviorSanitizer build of the same sources,
# build/fuzz the libFuzzer targets (clang) of fuzz/.
JOBS ?= 2
MAKEFLAGS += --no-print-directory
BUILD := build
ASAN := build/asan
FUZZ := build/fuzz
FUZZ_TARGETS := network netcdf vti module nexrad odim cfradial
# Seconds each fuzz target runs in `make fuzz`.
FUZZ_SECONDS ?= 180
# The unit tests of the release build: "modules" (the optimized modules'
# results to the bit) or "all"; every unit test runs in the sanitizer build.
RELEASE_TESTS ?= modules

.PHONY: all deps build asan doc-pictures fuzz-build fuzz test pytest deb test-packaging demo bench-analyze bench-python bench-batch bench-grid bench-mosaic bench-network bench-startup bench-view bench-console bench-watch docs-options clean

all: build

deps:
	@scripts/install-deps.sh

# The release build's debugging information is line tables only: backtraces
# and profiles keep their lines, and the build takes a fifth less time.
build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_UNIT_TESTS=$(RELEASE_TESTS) \
	  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

asan: deps
	@cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE=ON -DVELMORA_BENCH=OFF -DVELMORA_PYTHON=OFF >/dev/null
	@cmake --build $(ASAN) -j $(JOBS)

# The fuzz targets and only the libraries they link, at -O1 with line tables
# (what libFuzzer's reports need, and quicker to build than -O2 -g).
fuzz-build: deps
	@cmake -S . -B $(FUZZ) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_FUZZ=ON -DVELMORA_PYTHON=OFF \
	  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only -DNDEBUG" \
	  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only -DNDEBUG" \
	  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
	@cmake --build $(FUZZ) -j $(JOBS) --target $(FUZZ_TARGETS:%=%_fuzz)

# Each fuzz target for FUZZ_SECONDS, one after the other; corpora grow in
# build/fuzz/corpus/<target>, findings land in build/fuzz/artifacts.
fuzz: fuzz-build
	@UBSAN_OPTIONS=print_stacktrace=1 fuzz/run.sh $(FUZZ) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# The fuzz targets' smoke runs go one at a time (no -j): each is a fuzzer.
# The Python package's tests run on the release build, then velmora is
# installed as users install it.
test: build asan fuzz-build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	@ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir $(ASAN) --output-on-failure -j $(JOBS)
	@UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir $(FUZZ) --output-on-failure
	@$(MAKE) pytest
	@$(MAKE) test-packaging

# docs/cli.md's tables of every command's options, written from the table
# of lib/options (a test compares them).
docs-options: asan
	@VELMORA_WRITE_DOCS=1 $(ASAN)/tests/velmora_tests --gtest_filter=OptionTable.TheDocsShowEachCommandsOptionsAsTheTableHasThem >/dev/null
	@git diff --stat -- docs/cli.md

# The Python package's tests alone, on the release build.
pytest: build
	@PYTHONDONTWRITEBYTECODE=1 PYTHONPATH=$(BUILD)/python /usr/bin/python3 -m pytest -q -p no:cacheprovider python/tests

# The Debian package of the release build, build/velmora_<version>_amd64.deb
# (CPack; its Depends from dpkg-shlibdeps and the top CMakeLists.txt).
deb: build
	@rm -f $(BUILD)/velmora_*_amd64.deb
	@cd $(BUILD) && cpack -G DEB >cpack.log 2>&1 || { cat cpack.log; exit 1; }
	@ls $(BUILD)/velmora_*_amd64.deb

# velmora installed as users install it, in temporary folders: pip into a
# venv (reusing the release build), and the Debian package unpacked and run.
test-packaging: deb
	@PYTHONDONTWRITEBYTECODE=1 VELMORA_BUILD_DIR=$(abspath $(BUILD)) \
	  /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/packaging

demo: build
	@scripts/demo.sh

# The pictures of README.md drawn again from the data in ../shared/data.
doc-pictures: build
	@scripts/doc-pictures.sh

# velmora analyze against the same analysis in the Python radar stack on
# volumes up to 700 x 700 x 50; minutes, so not part of `make test`.
# BENCH_ARGS passes options on, e.g. BENCH_ARGS="--repeat 1 --keep".
bench-analyze: build
	@/usr/bin/python3 bench/analyze_scale.py $(BENCH_ARGS)

# velmora.analyze() from Python against the command's compute time, and the
# memory an analysis adds from an array and from its file.
bench-python: build
	@PYTHONDONTWRITEBYTECODE=1 PYTHONPATH=$(BUILD)/python /usr/bin/python3 bench/python_analyze_bench.py $(BENCH_ARGS)

# velmora.batch on 100 CPOL-size volumes: serially, on 1 and on 2 Dask
# workers (volumes/s, the ratio, Dask's overhead); a minute or two.
bench-batch: build
	@PYTHONDONTWRITEBYTECODE=1 PYTHONPATH=$(BUILD)/python /usr/bin/python3 bench/batch_bench.py $(BENCH_ARGS)

# velmora grid on the KLIX polar volume against a SciPy KD-tree reference
# doing the same gridding: times, their ratio and the largest difference.
bench-grid: build
	@PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 bench/grid_bench.py $(BENCH_ARGS)

# The mosaic of the three Belgian radars against each gridded alone.
bench-mosaic: build
	@PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 bench/mosaic_bench.py $(BENCH_ARGS)

# A network of 12 synthetic radars (WSR-88D scans, 150 to 250 km apart): the
# mosaic at 2 km against one radar at 1 km, and its memory for 3, 6 and 12.
bench-network: build
	@$(BUILD)/bench/network_mosaic_bench $(BENCH_ARGS)

# Dealiasing of radial velocity: Canberra against the Bureau's own dealiased
# field, KLIX's remaining folds, and its cost beside velmora analyze.
.PHONY: bench-dealias
bench-dealias: build
	@PYTHONDONTWRITEBYTECODE=1 PYTHONPATH=$(BUILD)/python /usr/bin/python3 bench/dealias_bench.py $(BENCH_ARGS)

# Each command as a whole process, start-up included, against the same
# command with the picture library loaded at start.
bench-startup: build
	@/usr/bin/python3 bench/startup_bench.py $(BENCH_ARGS)

# velmora view in headless chromium: first frame, level change, re-run and
# pick on CPOL and on 700 x 700 x 50, memory against analyze (minutes).
bench-view: build
	@VELMORA_NODE_MODULES=$(abspath $(BUILD))/viewer/npm/node_modules node bench/view_bench.mjs $(BENCH_ARGS)

# velmora view's console on a live watch: a new volume on the page (a
# synthetic series, the KLOT chunks), a click to trends and section (CPOL,
# 700 x 700 x 50), memory over a replay of 300 volumes with 10 pages open.
bench-console: build
	@VELMORA_NODE_MODULES=$(abspath $(BUILD))/viewer/npm/node_modules node bench/console_bench.mjs $(BENCH_ARGS)

# What the hail columns add to velmora analyze on 700 x 700 x 50 with 200
# cells: with and without the hail levels, medians and their ratio.
.PHONY: bench-hail
bench-hail: build
	@/usr/bin/python3 bench/hail_cost.py --velmora $(BUILD)/velmora $(BENCH_ARGS)

# What the pictures cost: analyze on CPOL with and without its pictures,
# track with and without its series pictures; time and peak memory, medians.
.PHONY: bench-pictures
bench-pictures: build
	@/usr/bin/python3 bench/picture_cost.py --velmora $(BUILD)/velmora $(BENCH_ARGS)

# velmora watch: latency from a volume's last byte to its products (CPOL,
# KLIX, the KLOT chunks), the nowcast's scores against persistence, and the
# state database's checkpoint and restart after 1,000 volumes; a minute or two.
bench-watch: build
	@/usr/bin/python3 bench/watch_bench.py $(BENCH_ARGS)
	@$(BUILD)/bench/watch_state_bench

clean:
	rm -rf $(BUILD)
