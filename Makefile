# make demo: build the host tree and run corsim (and render the property pages under Wine).
# make test: build every tree (host, ASan+UBSan, TSan, Windows) and run all tests with ctest.
# make stress: the concurrency tests, many times over, on a loaded machine.
BUILD ?= build
JOBS  ?= $(shell nproc)
CTEST  = ctest --output-on-failure --timeout 600
MAKEFLAGS += --no-print-directory

.PHONY: all deps host asan tsan win demo test stress clean format

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

test: host asan tsan win
	cd $(BUILD)/host && $(CTEST) -j$(JOBS)
	cd $(BUILD)/asan && $(CTEST) -j$(JOBS)
	cd $(BUILD)/tsan && $(CTEST) -j$(JOBS) -L concurrency
	cd $(BUILD)/win  && $(CTEST) -j$(JOBS)

# Not part of test: every concurrency test 100 times (REPEAT=...) in the ASan and TSan trees,
# with two CPU burners beside them (about half an hour).
stress: asan tsan
	./tools/stress/stress.sh $(BUILD)

format:
	git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD)
