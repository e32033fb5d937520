# Entry points: `make run` opens the tool on a demo workspace, `make test` runs every test.
BUILD_DIR ?= build
SANITIZE_DIR ?= build-sanitize
COVERAGE_DIR ?= build-coverage
BUILD_TYPE ?= RelWithDebInfo
# handle_segv=0: a module that crashes must crash the runner by its signal, as the DLL test expects;
# a crash anywhere else still fails its test.
ASAN_OPTIONS_SANITIZE ?= detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1:handle_segv=0
JOBS ?= $(shell nproc)
GENERATOR := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")

.PHONY: all deps configure build test test-sanitize coverage package format format-check run bench fuzz screenshots clean

all: build

deps:
	@scripts/deps.sh

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) $(GENERATOR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

configure: deps $(BUILD_DIR)/CMakeCache.txt

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The whole suite built with ASan + UBSan in a folder of its own; the first finding fails its test.
test-sanitize: deps
	cmake -S . -B $(SANITIZE_DIR) $(GENERATOR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DKESTREL_SANITIZE=ON \
		-DKESTREL_WITH_BENCH=OFF
	cmake --build $(SANITIZE_DIR) -j $(JOBS)
	cd $(SANITIZE_DIR) && QT_QPA_PLATFORM=offscreen \
		ASAN_OPTIONS=$(ASAN_OPTIONS_SANITIZE) \
		LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitize/lsan.supp:print_suppressions=0 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --output-on-failure -j $(JOBS) -LE package

# Every test on a build with gcov counters in a folder of its own: an HTML report and a summary
# in $(COVERAGE_DIR)/coverage/, and a failure when line coverage of src/ drops below the floor
# in tests/coverage-floor.txt.
coverage: deps
	JOBS=$(JOBS) scripts/coverage.sh $(COVERAGE_DIR)

# The Debian package kestrel_<version>_amd64.deb in the build folder.
package: build
	cmake --build $(BUILD_DIR) --target package
	@ls -1 $(BUILD_DIR)/kestrel_*.deb

# clang-format over every tracked C and C++ file (.clang-format); format-check only reports.
FORMAT_FILES = git ls-files -z -- '*.c' '*.cpp' '*.h'
format:
	$(FORMAT_FILES) | xargs -0 clang-format -i

format-check:
	$(FORMAT_FILES) | xargs -0 clang-format --dry-run -Werror

run: build
	scripts/run-demo.sh $(BUILD_DIR)

bench: build
	scripts/bench.sh $(BUILD_DIR)

fuzz: deps
	scripts/fuzz.sh $(or $(FUZZ_SECONDS),60)

screenshots: build
	scripts/screenshots.sh $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)
