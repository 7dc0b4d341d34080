# The two commands a new user needs: `make demo` and `make test`.
SHELL := /bin/bash
JOBS  ?= $(shell nproc)
BUILD ?= build
ASAN  ?= build-asan

.PHONY: deps build build-asan test test-plain test-asan bench format clean demo

deps:
	@bash scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DVESK_SANITIZE=ON -DVESK_BUILD_BENCH=OFF >/dev/null
	cmake --build $(ASAN) -j $(JOBS)

# Every test, once in a normal build and once under AddressSanitizer + UndefinedBehaviorSanitizer.
test: build build-asan
	$(MAKE) --no-print-directory test-plain test-asan

test-plain:
	@echo "== tests (plain build) =="
	cd $(BUILD) && ctest -j $(JOBS) --output-on-failure --timeout 600

test-asan:
	@echo "== tests (AddressSanitizer + UndefinedBehaviorSanitizer) =="
	cd $(ASAN) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1 \
	    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	    VESK_SANITIZED_RUN=1 ctest -j $(JOBS) --output-on-failure --timeout 900 -LE no-sanitizer

# The library at work: a writer process fills a table of each record type and keeps updating it
# while reader processes look records up and walk the tables, live; then a summary. It runs in a
# private root under /dev/shm that is removed at the end.
demo: build
	$(BUILD)/tools/vesk demo

bench: build
	@for b in $(BUILD)/bench/bench_*; do echo "== $$b"; $$b; done

format:
	clang-format -i $$(git ls-files '*.h' '*.cpp')

clean:
	rm -rf $(BUILD) $(ASAN)
