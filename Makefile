# make demo: build the host tree and run corsim (and render the property pages under Wine), then
#            a short session under Wine's kernel: a message between two ports of a plugged LX4A,
#            and cortool listing the ports and testing two of them through a null-modem cable.
# make package: the driver package in build/win/package (test-signed, with its catalogs) and the
#               submission cabinet in build/win/submission.
# make bench: build an optimised host tree and the Windows tree, run the benchmarks, print the
#             tables, write build/bench/results.json and the charts build/bench/interrupt-cost.png
#             and build/bench/data-path.png.
# make fuzz: build the libFuzzer tree (clang) and run every fuzz target for FUZZ_SECONDS each.
# make test: static analysis (make analyze), then build every tree (host, ASan+UBSan, TSan,
#            Windows) and run all tests with ctest (the TSan tree all but the bulk transfer).
# make mutate: mutation run over driver/ and proppage/ against the tests (about an hour).
# make stress: the concurrency tests, many times over, on a loaded machine.
BUILD ?= build
JOBS  ?= $(shell nproc)
CTEST  = ctest --output-on-failure --timeout 600
MAKEFLAGS += --no-print-directory

.PHONY: all deps host asan tsan win package demo test bench fuzz fuzz-merge analyze mutate stress \
        clean format

all: host win

deps:
	@./cmake/install-deps.sh

host: deps
	cmake -S . -B $(BUILD)/host -DCMAKE_BUILD_TYPE=Debug >/dev/null
	cmake --build $(BUILD)/host -j$(JOBS)

asan: deps
	cmake -S . -B $(BUILD)/asan -DCMAKE_BUILD_TYPE=Debug -DCORAN_SANITIZE=address >/dev/null
	cmake --build $(BUILD)/asan -j$(JOBS)

tsan: deps
	cmake -S . -B $(BUILD)/tsan -DCMAKE_BUILD_TYPE=Debug -DCORAN_SANITIZE=thread >/dev/null
	cmake --build $(BUILD)/tsan -j$(JOBS)

win: deps
	cmake -S . -B $(BUILD)/win -DCMAKE_BUILD_TYPE=Release \
	      -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64.cmake >/dev/null
	cmake --build $(BUILD)/win -j$(JOBS)

# The driver package (both INFs, the images test-signed, both catalogs, the test certificate) in
# build/win/package, and the submission cabinet in build/win/submission.
package: win
	cmake --build $(BUILD)/win --target driver_package
	@ls -1 $(BUILD)/win/package $(BUILD)/win/submission
# The fuzzing tree: clang with libFuzzer, ASan and UBSan; only the fuzz targets are built. New
# inputs go to $(BUILD)/fuzz/corpus/<target>, findings to $(BUILD)/fuzz/findings; the seeds in
# tests/fuzz/corpus are read, never written (make fuzz-merge adds what covers new code).
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= resources pci_config pnp_sequence ports_value advanced_registry com_name \
                serial_requests
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)/fuzz -DCORAN_SANITIZE=fuzzer \
	      -DCMAKE_C_FLAGS="-O1 -g" -DCMAKE_CXX_FLAGS="-O1 -g" >/dev/null
	cmake --build $(BUILD)/fuzz -j$(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))
	./tests/fuzz/run-fuzz.sh $(BUILD)/fuzz $(FUZZ_SECONDS) $(FUZZ_TARGETS)

fuzz-merge:
	./tests/fuzz/run-fuzz.sh --merge $(BUILD)/fuzz 0 $(FUZZ_TARGETS)

demo: host win
	$(BUILD)/host/host/corsim/corsim
	./tools/devprops/render-page.sh $(BUILD)/win
	@./tests/winekernel/run-scenario.sh $(abspath $(BUILD)/win) \
	    $(abspath $(BUILD)/win/tests/winekernel/scenarios.exe) Demo.DISABLED_NullModem \
	    --gtest_also_run_disabled_tests --gtest_brief=1
	@./tests/winekernel/run-scenario.sh $(abspath $(BUILD)/win) \
	    $(abspath $(BUILD)/win/tests/winekernel/scenarios.exe) Demo.DISABLED_Cortool \
	    --gtest_also_run_disabled_tests --gtest_brief=1

test: analyze host asan tsan win
	cd $(BUILD)/host && $(CTEST) -j$(JOBS)
	cd $(BUILD)/asan && $(CTEST) -j$(JOBS)
	cd $(BUILD)/tsan && $(CTEST) -j$(JOBS) -LE bulk
	cd $(BUILD)/win  && $(CTEST) -j$(JOBS)

# -O2, no sanitizers; only the benchmark programs (and what they link) are built in this tree.
bench: win
	@./cmake/install-deps.sh valgrind gnuplot-nox
	cmake -S . -B $(BUILD)/bench -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" \
	      -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" >/dev/null
	cmake --build $(BUILD)/bench -j$(JOBS) --target bench_dispatch bench_isr bench_serial \
	      bench_serial_isr
	python3 bench/report.py $(BUILD)
# clang-tidy and the clang static analyzer over driver/, serial/, include/ and proppage/
# (.clang-tidy says which checks and why); any finding fails.
analyze: deps
	python3 tools/analyze/analyze.py --jobs $(JOBS) --out $(BUILD)/analyze

# Mutation run over driver/, proppage/ and serial/ (tools/mutate/mutate.py; not part of make
# test). MUTANTS=N samples N mutants of driver/ and proppage/ with the fixed SEED, SERIAL_MUTANTS
# those of serial/ with SERIAL_SEED; the reports go to $(BUILD)/mutate/report.txt and
# serial-report.txt.
MUTANTS ?= 270
SEED    ?= 14
SERIAL_MUTANTS ?= 60
SERIAL_SEED    ?= 21
# It builds its own copies of the sources and trees under $(BUILD)/mutate.
mutate: deps
	python3 tools/mutate/mutate.py --build $(BUILD) --mutants $(MUTANTS) --seed $(SEED) \
	        --jobs $(JOBS)
	python3 tools/mutate/mutate.py --build $(BUILD) --only serial --mutants $(SERIAL_MUTANTS) \
	        --seed $(SERIAL_SEED) --name serial --jobs $(JOBS)

# Not part of test: every concurrency test 100 times (REPEAT=...) in the ASan and TSan trees,
# with two CPU burners beside them, then the serial contract's walk at length in both trees
# (WALKS=..., WALK_STEPS=..., WALK_SEED=...; about three quarters of an hour).
stress: asan tsan
	./tools/stress/stress.sh $(BUILD)

format:
	git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD)
