# Thin wrapper around CMake. `make test` is the one command that sets up,
# builds and runs every test (plain and sanitizer builds); `make run` starts the program.
JOBS    ?= $(shell nproc)
BUILD   ?= build
ASAN    ?= build-asan
TSAN    ?= build-tsan
CMAKE   := cmake -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
CTEST   := ctest --output-on-failure -j $(JOBS) --timeout 300

.PHONY: all setup build asan test run bench fuzz tsan format clean

all: build

setup:
	@scripts/setup.sh

build: setup
	$(CMAKE) -S . -B $(BUILD)
	cmake --build $(BUILD) -j $(JOBS)

asan: setup
	$(CMAKE) -S . -B $(ASAN) -DCORVANE_SANITIZE=ON -DCORVANE_BENCH=OFF
	cmake --build $(ASAN) -j $(JOBS)

test: build asan
	cd $(BUILD) && $(CTEST)
	cd $(ASAN) && $(CTEST)

tsan: setup
	$(CMAKE) -S . -B $(TSAN) -DCORVANE_TSAN=ON -DCORVANE_BENCH=OFF
	cmake --build $(TSAN) -j $(JOBS)
	cd $(TSAN) && $(CTEST) -L tsan

run: build
	scripts/run.sh $(BUILD)

bench: build
	scripts/bench.sh $(BUILD)

# make fuzz SECONDS=60
SECONDS ?= 60
fuzz: setup
	scripts/fuzz.sh $(SECONDS)

format:
	find src tests bench fuzz -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN) $(TSAN) build-fuzz
