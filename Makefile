# Thin wrapper around CMake. `make run` and `make test` install what is
# missing first.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=Release -DVMOSAIC_WERROR=ON
SAMPLE ?= data/sample.mp4
RUN_ARGS ?= $(SAMPLE) 80 0 0

.PHONY: all deps test-deps build run test asan install deb clean

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

asan: test-deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVMOSAIC_WERROR=ON -DVMOSAIC_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# Installs vmosaic, its man page and the sample video under PREFIX.
PREFIX ?= /usr/local
install: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	cmake --build $(BUILD) -j $(JOBS) --target vmosaic
	cmake --install $(BUILD) --prefix $(PREFIX)

# A Debian package (build-deb/vmosaic_*.deb) installing under /usr.
deb: deps
	cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=Release -DVMOSAIC_WERROR=ON -DVMOSAIC_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr
	cmake --build build-deb -j $(JOBS) --target vmosaic
	cd build-deb && cpack -G DEB

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-deb
