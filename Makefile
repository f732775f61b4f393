# Thin wrapper around CMake. `make run` and `make test` install what is
# missing first.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=Release -DVMOSAIC_WERROR=ON
SAMPLE ?= data/sample.mp4
RUN_ARGS ?= $(SAMPLE) 80 0 0
FUZZ_BUILD ?= build-fuzz
FUZZ_TARGETS ?= overlap point_mapping ncc_validation video sequence srt
FUZZ_SECONDS ?= 600
SOAK_FRAMES ?= 5000

.PHONY: all deps test-deps fuzz-deps build run test asan coverage mutation test-share format format-check fuzz soak bench fidelity install deb clean

all: build

deps:
	@scripts/install-deps.sh

test-deps:
	@scripts/install-deps.sh --tests

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

run: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target vmosaic
	./$(BUILD)/driver/vmosaic $(RUN_ARGS)
	@echo

test: test-deps build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer,
# except the 8K-frame case (minutes and gigabytes under ASan; it runs in
# `make test`).
ASAN_EXCLUDE ?= VeryLargeFrames
asan: test-deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVMOSAIC_WERROR=ON -DVMOSAIC_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS) -E '$(ASAN_EXCLUDE)'

# Line and branch coverage of the product libraries by the whole suite
# (gcovr). Throw and unreachable branches are left out so the branch figure
# counts decisions in our code, not the compiler's exception paths.
COVERAGE_BUILD ?= build-coverage
COVERAGE_FILTER ?= (driver|io|panorama|features|composition|geometry)/
coverage: test-deps
	@scripts/install-deps.sh --coverage
	cmake -S . -B $(COVERAGE_BUILD) -DCMAKE_BUILD_TYPE=Debug -DVMOSAIC_WERROR=OFF \
	  "-DCMAKE_CXX_FLAGS=-O1 --coverage" -DVMOSAIC_BENCH=OFF -DVMOSAIC_FUZZ=OFF
	cmake --build $(COVERAGE_BUILD) -j $(JOBS)
	find $(COVERAGE_BUILD) -name '*.gcda' -delete
	ctest --test-dir $(COVERAGE_BUILD) --output-on-failure -j $(JOBS)
	gcovr --root . --object-directory $(COVERAGE_BUILD) -j $(JOBS) --gcov-ignore-parse-errors \
	  --filter '$(COVERAGE_FILTER)' --exclude-throw-branches --exclude-unreachable-branches \
	  --print-summary --txt $(COVERAGE_BUILD)/coverage.txt

# The fixed mutation sample (scripts/mutants.txt) against the suite; slow,
# never part of `make test`.
MUTATION_BUILD ?= build-mutation
mutation: test-deps
	scripts/mutation-sample.sh --build $(MUTATION_BUILD)

# Share of test code (tests/, fuzz/, Python tests) among all lines, counted
# on formatted code; bench/ counts on neither side.
test-share:
	@scripts/count-test-share.sh

# Every tracked C++ file in the committed .clang-format style: `format`
# rewrites them, `format-check` fails on any difference (CI runs it).
CPP_SOURCES = $(shell git ls-files -- '*.cpp' '*.hpp' '*.h' '*.cc')
format:
	@clang-format -i $(CPP_SOURCES)
format-check:
	@clang-format --dry-run --Werror $(CPP_SOURCES)

fuzz-deps:
	@scripts/install-deps.sh --fuzz

# libFuzzer targets (clang), each run for FUZZ_SECONDS on a working copy of
# its seed corpus; anything found lands in $(FUZZ_BUILD)/findings/.
fuzz: fuzz-deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVMOSAIC_WERROR=ON -DVMOSAIC_FUZZ=ON -DVMOSAIC_BUILD_TESTS=OFF \
	  "-DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzzers
	@set -e; for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t $(FUZZ_BUILD)/findings/$$t; \
	  cp -n fuzz/corpus/$$t/* $(FUZZ_BUILD)/corpus/$$t/ 2>/dev/null || true; \
	  echo "fuzz_$$t: $(FUZZ_SECONDS) s" >&2; \
	  ( cd $(FUZZ_BUILD)/findings/$$t && \
	    ../../fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=4096 -timeout=30 \
	      -print_final_stats=1 ../../corpus/$$t ) > $(FUZZ_BUILD)/fuzz_$$t.log 2>&1 \
	    || { tail -40 $(FUZZ_BUILD)/fuzz_$$t.log; exit 1; }; \
	  grep -E '^(stat::number_of_executed_units|stat::new_units_added)' $(FUZZ_BUILD)/fuzz_$$t.log >&2 || true; \
	done

# A rendered video of SOAK_FRAMES frames through the whole pipeline, with the
# resident memory sampled every second (not part of `make test`).
soak: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target vmosaic vmosaic-render
	scripts/soak.sh --build $(BUILD) --frames $(SOAK_FRAMES)

# Micro-benchmarks, the end-to-end table (bench/e2e.sh; BENCH_SET=quick for
# a reduced set), then what --keep-going costs on clean footage and what
# --refine costs at the default overlap (bench/refine_cost.sh).
# Never part of `make test`.
BENCH_BUILD ?= build-bench
BENCH_SET ?= full
bench:
	cmake -S . -B $(BENCH_BUILD) $(CMAKE_FLAGS) -DVMOSAIC_BENCH=ON -DVMOSAIC_BUILD_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target bench_tools
	./$(BENCH_BUILD)/bench/vmosaic_micro_bench
	BUILD_DIR=$(BENCH_BUILD) BENCH_SET=$(BENCH_SET) bench/e2e.sh
	BUILD_DIR=$(BENCH_BUILD) bench/keep_going_cost.sh
	BUILD_DIR=$(BENCH_BUILD) BENCH_SET=$(BENCH_SET) bench/refine_cost.sh
	BUILD_DIR=$(BENCH_BUILD) bench/survey.sh large

# The fidelity benchmark: rendered cases with known motion, each mosaic and
# key frame scored against the truth; writes bench/FIDELITY.md. Never part of
# `make test`.
fidelity:
	@scripts/install-deps.sh --extra libbenchmark-dev
	cmake -S . -B $(BENCH_BUILD) $(CMAKE_FLAGS) -DVMOSAIC_BENCH=ON -DVMOSAIC_BUILD_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target fidelity_tools
	BUILD_DIR=$(BENCH_BUILD) bench/fidelity.sh
	BUILD_DIR=$(BENCH_BUILD) bench/survey.sh georef

# Installs vmosaic, its man page and the sample video under PREFIX.
PREFIX ?= /usr/local
install: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	cmake --build $(BUILD) -j $(JOBS) --target product
	cmake --install $(BUILD) --prefix $(PREFIX)

# A Debian package (build-deb/vmosaic_*.deb) installing under /usr.
deb: deps
	cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=Release -DVMOSAIC_WERROR=ON -DVMOSAIC_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr
	cmake --build build-deb -j $(JOBS) --target product
	cd build-deb && cpack -G DEB

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(COVERAGE_BUILD) $(MUTATION_BUILD) build-deb
