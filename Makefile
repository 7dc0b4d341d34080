# The two commands a new user needs: `make demo` and `make test`.
SHELL   := /bin/bash
JOBS    ?= $(shell nproc)
BUILD   ?= build
ASAN    ?= build-asan
TSAN    ?= build-tsan
COV     ?= build-cov
WERROR  ?= ON
SECONDS ?= 60
# The benchmarks (bench/) are built by `make bench` only: they are no test, and the peers they
# measure beside the reader are no dependency of the library.
BENCH   ?= OFF
# ccache, when installed, keeps rebuilds short.
CMAKE_FLAGS := -DVESK_WERROR=$(WERROR) \
    $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# A new build directory is generated for Ninja: it compiles the tool's and the tests' files while
# the library is still being compiled or linked, where make waits for each target in turn. A
# directory configured before keeps its generator.
GENERATOR = $(if $(wildcard $(1)/CMakeCache.txt),,$(if $(shell command -v ninja),-G Ninja))

PREFIX  ?= /usr/local

.PHONY: deps build build-asan build-tsan test test-plain test-asan test-tsan fuzz bench format \
        clean demo tool install coverage

deps:
	@bash scripts/install-deps.sh

CONFIGURE = cmake -S . -B $(BUILD) $(call GENERATOR,$(BUILD)) -DCMAKE_BUILD_TYPE=Release \
    -DVESK_BUILD_BENCH=$(BENCH) $(CMAKE_FLAGS) >/dev/null

build: deps
	$(CONFIGURE)
	cmake --build $(BUILD) -j $(JOBS)

# The library and the `vesk` tool alone, in the same tree: what the demo runs.
tool: deps
	@echo "== building the library and the vesk tool in $(BUILD)/ (make test builds the tests)"
	$(CONFIGURE)
	cmake --build $(BUILD) -j $(JOBS) --target vesk

# Line tables only (-g1): the sanitizers' reports name files and lines; a sixth less to compile.
build-asan: deps
	cmake -S . -B $(ASAN) $(call GENERATOR,$(ASAN)) -DCMAKE_BUILD_TYPE=Debug -DVESK_SANITIZE=ON \
	    -DVESK_BUILD_BENCH=OFF -DCMAKE_CXX_FLAGS_DEBUG=-g1 $(CMAKE_FLAGS) >/dev/null
	cmake --build $(ASAN) -j $(JOBS)

# The library and the threaded stress test only, at -O1 with line tables (ThreadSanitizer's
# reports name files and lines; a quarter less to compile than -O2 -g).
build-tsan: deps
	cmake -S . -B $(TSAN) $(call GENERATOR,$(TSAN)) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESK_TSAN=ON \
	    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1" $(CMAKE_FLAGS) >/dev/null
	cmake --build $(TSAN) -j $(JOBS)

# Every test in a Release build (the fuzz target's corpus replayed), again under
# AddressSanitizer + UndefinedBehaviorSanitizer, and the threaded stress test under
# ThreadSanitizer. Warnings are errors in all three builds.
# The tests stay at most 0.36 of the code (scripts/test-ratio counts non-blank lines).
test: build build-asan build-tsan
	@bash scripts/test-ratio --max 0.36
	$(MAKE) --no-print-directory test-plain test-asan test-tsan

test-plain:
	@echo "== tests (Release build) =="
	cd $(BUILD) && ctest -j $(JOBS) --output-on-failure --timeout 600

test-asan:
	@echo "== tests (AddressSanitizer + UndefinedBehaviorSanitizer) =="
	cd $(ASAN) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1 \
	    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	    VESK_SANITIZED_RUN=1 ctest -j $(JOBS) --output-on-failure --timeout 900

test-tsan:
	@echo "== threaded stress test (ThreadSanitizer) =="
	cd $(TSAN) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	    ctest --output-on-failure --timeout 900

# The reader's fuzz target: replays fuzz/corpus/, then fuzzes for SECONDS seconds
# (`make fuzz SECONDS=3600` for a soak).
fuzz: deps
	bash fuzz/run.sh $(SECONDS)

# Line and branch coverage of src/ by the whole suite (fuzz and build checks left
# out), from a Debug --coverage build with atomic counters (threads would tear them) and without
# ccache (its relative paths would hide the sources from gcovr). Children that a test runs as
# another user add their counts too: one run of each program as root creates every count file,
# which is then opened to everyone. The line-by-line report goes to $(COV)/coverage.txt: given
# /dev/null as its output, gcovr removed the device.
coverage:
	@bash scripts/install-deps.sh gcovr
	cmake -S . -B $(COV) -DCMAKE_BUILD_TYPE=Debug -DVESK_BUILD_BENCH=OFF -DVESK_WERROR=$(WERROR) \
	    -DCMAKE_CXX_COMPILER_LAUNCHER= "-DCMAKE_CXX_FLAGS=--coverage -fprofile-update=atomic -DVESK_COVERAGE" \
	    -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage >/dev/null
	cmake --build $(COV) -j $(JOBS)
	find $(COV) -name '*.gcda' -delete
	$(COV)/tools/vesk --help >/dev/null && $(COV)/tests/vesk_tests --gtest_filter=-* >/dev/null
	chmod -R a+rwX $(COV)
	cd $(COV) && ctest -j $(JOBS) -LE 'fuzz|build' --timeout 900; status=$$?; cd $(CURDIR) && \
	    gcovr -r . --object-directory $(COV) -f 'src/' --print-summary \
	        --txt $(COV)/coverage.txt -j $(JOBS) && exit $$status

# The library at work: a writer process fills a table of each record type and keeps updating it
# while reader processes look records up and walk the tables and a shadow process follows every
# change, live; then a summary. It runs in a private root under /dev/shm that is removed at the
# end.
demo: tool
	@echo "== running $(BUILD)/tools/vesk demo"
	$(BUILD)/tools/vesk demo

# The library with its headers, CMake package and pkg-config file, the `vesk` tool (bin/vesk:
# on the PATH with the default PREFIX) and the Python module when it is built, under PREFIX.
install: tool
	cmake --build $(BUILD) -j $(JOBS) --target vesk \
	    $$([ -d $(BUILD)/tools/python/CMakeFiles/vesk_python.dir ] && echo vesk_python)
	cmake --install $(BUILD) --prefix $(PREFIX)
	@[ "$$(id -u)" -ne 0 ] || ldconfig

# The reader's peers (LMDB and Boost.Interprocess) are wanted by the benchmarks only. Every
# benchmark runs, whatever another did; the run fails when one failed, naming it.
bench:
	@bash scripts/install-deps.sh liblmdb-dev libboost-dev
	$(MAKE) --no-print-directory build BENCH=ON
	@failed=""; \
	for b in $(BUILD)/bench/bench_*; do echo "== $$b"; $$b || failed="$$failed $${b##*/}"; done; \
	echo "== bench/bench_python.py"; \
	/usr/bin/python3 bench/bench_python.py $(BUILD) || failed="$$failed bench_python.py"; \
	[ -z "$$failed" ] || { echo "make bench: failed:$$failed"; exit 1; }

format:
	clang-format -i $$(git ls-files '*.h' '*.cpp')

clean:
	rm -rf $(BUILD) $(ASAN) $(TSAN) $(COV) build-fuzz
