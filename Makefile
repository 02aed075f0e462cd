# Thin driver over CMake. `make demo` and `make test` are the two commands a
# newcomer runs; each configures its own build directory when needed.
#
#   make demo       release build in build/, then the tool on examples/*.xml
#   make test       debug build in build-test/, every test through ctest
#   make sanitize   the tests again under ASan + UBSan in build-asan/, with the
#                   portable (non-SSE2) text scanners
#   make bench      release build in build-bench/, then the benchmark
#   make conformance
#                   the W3C XML conformance suite (fetched once with npm into
#                   CONFORMANCE_CACHE) through the test build's runner;
#                   SANITIZE=1 runs it in the sanitizer build instead
#   make format     clang-format over the sources (format-check only reports)
#   make clean      removes the build directories above
#
# Variables: VEXA_WERROR=ON turns warnings into errors (CI sets it),
# JOBS (default 2), CXX for the test build, SANITIZE_CXX for the sanitizer one,
# DEMO_DIR, TEST_DIR, SANITIZE_DIR and BENCH_DIR for the build directories,
# CONFORMANCE_CACHE for the fetched suite (kept by `make clean`: it is a
# download, not a build) and CONFORMANCE_FLAGS for the runner (--list-all,
# --timeout SECONDS, --keep DIR for the failing copies), CONFORMANCE_CANONICAL
# for the canonical forms that must match (the count reached; fewer fails).

CMAKE ?= cmake
CTEST ?= ctest
JOBS ?= 2
VEXA_WERROR ?= OFF
SANITIZE_CXX ?= $(shell command -v clang++ 2>/dev/null || command -v g++ 2>/dev/null || echo c++)
CLANG_FORMAT ?= clang-format

DEMO_DIR ?= build
TEST_DIR ?= build-test
SANITIZE_DIR ?= build-asan
BENCH_DIR ?= build-bench
BUILD_DIRS := $(DEMO_DIR) $(TEST_DIR) $(SANITIZE_DIR) $(BENCH_DIR) build-noxpath
CONFORMANCE_CACHE ?= build-conformance
CONFORMANCE_FLAGS ?=
CONFORMANCE_CANONICAL ?= 261
FORMAT_DIRS := base tests tools examples fuzz bench

# A compiler chosen on the command line or in the environment reaches the
# first configure of a build directory only; CMake keeps it afterwards.
ifneq ($(origin CXX),default)
TEST_CXX_FLAG := -DCMAKE_CXX_COMPILER=$(CXX)
endif

MAKEFLAGS += --no-print-directory

# The test and sanitizer builds, configured the same way by every target
# that uses them.
TEST_CONFIGURE = $(CMAKE) -S . -B $(TEST_DIR) -DCMAKE_BUILD_TYPE=Debug -DVEXA_BUILD_TESTS=ON \
    -DVEXA_WERROR=$(VEXA_WERROR) $(TEST_CXX_FLAG)
SANITIZE_CONFIGURE = $(CMAKE) -S . -B $(SANITIZE_DIR) -DCMAKE_BUILD_TYPE=Debug -DVEXA_BUILD_TESTS=ON \
    -DVEXA_SANITIZE=ON -DVEXA_PORTABLE_SCAN=ON -DVEXA_WERROR=$(VEXA_WERROR) -DCMAKE_CXX_COMPILER=$(SANITIZE_CXX)
SANITIZE_ENV = ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

ifneq ($(filter 1 ON on yes,$(SANITIZE)),)
CONFORMANCE_DIR := $(SANITIZE_DIR)
CONFORMANCE_CONFIGURE = $(SANITIZE_CONFIGURE)
CONFORMANCE_ENV = $(SANITIZE_ENV)
else
CONFORMANCE_DIR := $(TEST_DIR)
CONFORMANCE_CONFIGURE = $(TEST_CONFIGURE)
CONFORMANCE_ENV =
endif

.PHONY: all demo test sanitize bench conformance format format-check clean

all: demo

demo:
	$(CMAKE) -S . -B $(DEMO_DIR) -DCMAKE_BUILD_TYPE=Release -DVEXA_BUILD_TESTS=OFF -DVEXA_WERROR=$(VEXA_WERROR)
	$(CMAKE) --build $(DEMO_DIR) -j $(JOBS)
	@set -e; \
	if [ -x $(DEMO_DIR)/tools/vexa ]; then \
	    echo "+ $(DEMO_DIR)/tools/vexa check examples/*.xml"; \
	    $(DEMO_DIR)/tools/vexa check examples/*.xml; \
	    echo "(every example parsed without error)"; \
	    sample=examples/config.xml; \
	    [ -f "$$sample" ] || sample=$$(ls examples/*.xml | head -n 1); \
	    echo "+ $(DEMO_DIR)/tools/vexa format $$sample"; \
	    $(DEMO_DIR)/tools/vexa format "$$sample"; \
	else \
	    example=$$(find $(DEMO_DIR)/examples -maxdepth 1 -type f -perm -u+x 2>/dev/null | sort | head -n 1); \
	    if [ -z "$$example" ]; then echo "demo: neither $(DEMO_DIR)/tools/vexa nor an example program was built" >&2; exit 1; fi; \
	    echo "+ $$example"; \
	    "$$example"; \
	fi

test:
	$(TEST_CONFIGURE)
	$(CMAKE) --build $(TEST_DIR) -j $(JOBS)
	cd $(TEST_DIR) && $(CTEST) --output-on-failure -j $(JOBS)

sanitize:
	$(SANITIZE_CONFIGURE)
	$(CMAKE) --build $(SANITIZE_DIR) -j $(JOBS)
	cd $(SANITIZE_DIR) && $(SANITIZE_ENV) $(CTEST) --output-on-failure -j $(JOBS)

bench:
	$(CMAKE) -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=Release -DVEXA_BUILD_BENCH=ON -DVEXA_BUILD_TESTS=OFF \
	    -DVEXA_BUILD_EXAMPLES=OFF -DVEXA_WERROR=$(VEXA_WERROR)
	$(CMAKE) --build $(BENCH_DIR) -j $(JOBS) --target vexa_bench
	@if [ -f bench/run.sh ]; then VEXA_BUILD_DIR=$(CURDIR)/$(BENCH_DIR) bash bench/run.sh; \
	else echo "bench: no bench/run.sh; the binary is in $(BENCH_DIR)/bench/"; fi

# The runner needs libxml2 (libxml2-dev); without it CMake leaves the target
# out and the build step below says so.
conformance:
	$(CONFORMANCE_CONFIGURE)
	$(CMAKE) --build $(CONFORMANCE_DIR) -j $(JOBS) --target vexa_conformance
	@set -e; \
	suite=$$(bash tests/conformance/fetch.sh $(CONFORMANCE_CACHE)); \
	echo "+ $(CONFORMANCE_DIR)/tests/conformance/vexa_conformance $$suite --canonical-min $(CONFORMANCE_CANONICAL) $(CONFORMANCE_FLAGS)"; \
	$(CONFORMANCE_ENV) $(CONFORMANCE_DIR)/tests/conformance/vexa_conformance "$$suite" \
	    --canonical-min $(CONFORMANCE_CANONICAL) $(CONFORMANCE_FLAGS)

format:
	find $(FORMAT_DIRS) \( -name '*.cpp' -o -name '*.h' \) -print 2>/dev/null | xargs -r $(CLANG_FORMAT) -i

format-check:
	find $(FORMAT_DIRS) \( -name '*.cpp' -o -name '*.h' \) -print 2>/dev/null | xargs -r $(CLANG_FORMAT) --dry-run --Werror

clean:
	rm -rf $(BUILD_DIRS)
