# make demo: build the host tree and run corsim (and render the property pages under Wine).
# make test: static analysis (make analyze), then build every tree (host, ASan+UBSan, TSan,
#            Windows) and run all tests with ctest.
# make mutate: mutation run over driver/ and proppage/ against the tests (about an hour).
BUILD ?= build
JOBS  ?= $(shell nproc)
CTEST  = ctest --output-on-failure --timeout 600
MAKEFLAGS += --no-print-directory

.PHONY: all deps host asan tsan win demo test analyze mutate clean format

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

demo: host win
	$(BUILD)/host/host/corsim/corsim
	./tools/devprops/render-page.sh $(BUILD)/win

test: analyze host asan tsan win
	cd $(BUILD)/host && $(CTEST) -j$(JOBS)
	cd $(BUILD)/asan && $(CTEST) -j$(JOBS)
	cd $(BUILD)/tsan && $(CTEST) -j$(JOBS) -L concurrency
	cd $(BUILD)/win  && $(CTEST) -j$(JOBS)

# clang-tidy and the clang static analyzer over driver/, include/ and proppage/ (.clang-tidy says
# which checks and why); any finding fails.
analyze: deps
	python3 tools/analyze/analyze.py --jobs $(JOBS) --out $(BUILD)/analyze

# Mutation run over driver/ and proppage/ (tools/mutate/mutate.py; not part of make test).
# MUTANTS=N samples N mutants with the fixed SEED; the report goes to $(BUILD)/mutate/report.txt.
MUTANTS ?= 270
SEED    ?= 14
# It builds its own copies of the sources and trees under $(BUILD)/mutate.
mutate: deps
	python3 tools/mutate/mutate.py --build $(BUILD) --mutants $(MUTANTS) --seed $(SEED) \
	        --jobs $(JOBS)

format:
	git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD)
