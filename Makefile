# The two commands of the README: `make demo` and `make test`.
BUILD      ?= build
# Platform-neutral code (the x86 decoder) is also built and tested natively,
# against the host's reference disassemblers.
NATIVE     ?= build-native
TOOLCHAIN  := cmake/toolchain-i686-w64-mingw32.cmake
JOBS       ?= 2

.PHONY: all bootstrap configure build native debuginfo-check demo test bench clean

all: build

bootstrap:
	@bash tools/bootstrap.sh

$(BUILD)/CMakeCache.txt: | bootstrap
	cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=$(TOOLCHAIN)

configure: bootstrap $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j $(JOBS)

$(NATIVE)/CMakeCache.txt: | bootstrap
	cmake -S tests/native -B $(NATIVE)

native: bootstrap $(NATIVE)/CMakeCache.txt
	cmake --build $(NATIVE) -j $(JOBS)

# The debug-information writer's own tests compare the library's debug data
# with llvm-symbolizer on the unstripped link. The build configured the
# writer's tree and built the writer; this adds its tests there.
debuginfo-check: build
	cmake --build $(BUILD)/debuginfo-tool -j $(JOBS)
	cd $(BUILD)/debuginfo-tool && ctest --output-on-failure

# The build folder's runner: its programs run in the build folder's own prefix.
WINE_RUN   := $(BUILD)/wine-run.sh

demo: build
	$(WINE_RUN) $(BUILD)/demo/zelvic_host.exe $(BUILD)/src/_zelvic.dll

test: build native debuginfo-check
	cd $(NATIVE) && ctest --output-on-failure
	cd $(BUILD) && ctest --output-on-failure -j 1

bench: build
	$(WINE_RUN) $(BUILD)/bench/zelvic_bench.exe $(BUILD)/src/_zelvic.dll $(BUILD)/bench/tinyconst.dll \
	    $(BUILD)/src/_zelvic_plain.dll

clean:
	rm -rf $(BUILD) $(NATIVE)
