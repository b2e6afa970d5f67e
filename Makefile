# Thin wrapper around CMake. `make test` is the one command that sets up,
# builds and runs every test (plain and sanitizer builds, and the Windows build
# under Wine) and builds a Release configuration with Clang; `make run` starts
# the program, `make package` makes the .deb, `make windows` cross-builds
# corvane.exe (the window in Win32's own controls) and corvane-cli.exe for
# Windows and makes build-windows/corvane-VERSION-win64.zip and
# build-windows/corvane-VERSION-x64.msi.
JOBS    ?= $(shell nproc)
BUILD   ?= build
ASAN    ?= build-asan
TSAN    ?= build-tsan
CLANG   ?= build-clang
PACKAGE ?= build-package
WINDOWS ?= build-windows
# Rebuilds of the five configurations reuse what ccache has compiled before.
LAUNCHER := $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# The project's own builds treat warnings as errors; a plain `cmake` configure does not.
CMAKE   := cmake -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_WERROR=ON $(LAUNCHER)
CTEST   := ctest --output-on-failure -j $(JOBS) --timeout 300

.PHONY: all setup build asan clang windows windows-test test run package bench fuzz soak tsan format clean

all: build

# Debian's packages that the targets asked for need (scripts/setup.sh
# GROUP...): the build's alone for build, run, package, bench, asan and tsan;
# the others add their group, and test all of them, before anything is
# configured.
setup_clang := clang
setup_windows := windows
setup_windows-test := windows display
setup_fuzz := fuzz
setup_format := format
setup_test := test
setup_run := $(if $(filter 1,$(CORVANE_XVFB)),display)
setup:
	@scripts/setup.sh $(sort $(foreach goal,$(MAKECMDGOALS),$(setup_$(goal))))

build: setup
	$(CMAKE) -S . -B $(BUILD)
	cmake --build $(BUILD) -j $(JOBS)

asan: setup
	$(CMAKE) -S . -B $(ASAN) -DCORVANE_SANITIZE=ON -DCORVANE_BENCH=OFF
	cmake --build $(ASAN) -j $(JOBS)

# A Release build with the other compiler: warnings that only Clang or -O3 shows.
clang: setup
	CC=clang CXX=clang++ cmake -G Ninja -S . -B $(CLANG) -DCMAKE_BUILD_TYPE=Release -DCORVANE_WERROR=ON $(LAUNCHER)
	cmake --build $(CLANG) -j $(JOBS)

# With Debian's MinGW-w64, without the Qt window and the virtual programmer
# (the one that the tests under Wine talk to is built for Linux in
# $(WINDOWS)/host).
windows: setup
	$(CMAKE) -S . -B $(WINDOWS) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
		-DCORVANE_APP=OFF -DCORVANE_BENCH=OFF
	cmake --build $(WINDOWS) -j $(JOBS)

# The Windows tests, run under Wine.
windows-test: windows
	cd $(WINDOWS) && $(CTEST)

test: build asan clang windows
	cd $(BUILD) && $(CTEST)
	cd $(ASAN) && $(CTEST)
	cd $(WINDOWS) && $(CTEST)

# The Debian package, from a Release build: $(PACKAGE)/corvane_VERSION_ARCH.deb
package: setup
	cmake -G Ninja -S . -B $(PACKAGE) -DCMAKE_BUILD_TYPE=Release -DCORVANE_WERROR=ON \
		-DCORVANE_TESTS=OFF -DCORVANE_BENCH=OFF
	cmake --build $(PACKAGE) -j $(JOBS)
	cd $(PACKAGE) && cpack -G DEB

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

# make soak SOAK_SECONDS=3600: the station's fault campaign on new seeds for
# that long; a failing seed prints the command that replays it.
SOAK_SECONDS ?= 600
soak: setup
	$(CMAKE) -S . -B $(BUILD)
	cmake --build $(BUILD) -j $(JOBS) --target campaign
	$(BUILD)/tests/campaign/campaign --soak $(SOAK_SECONDS)

format: setup
	find src tests bench fuzz -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN) $(TSAN) $(CLANG) $(PACKAGE) $(WINDOWS) build-fuzz
