# The two commands of the README: `make demo` and `make test`.
# Both install what a fresh Debian 12 machine lacks and build what is stale.
JOBS ?= $(shell nproc)
CTEST = ctest --output-on-failure -j $(JOBS)

.PHONY: all deps build build-native build-tsan build-windows test test-native \
        test-tsan test-windows demo fuzz bench clean

all: build

deps:
	@scripts/deps.sh

build: build-native build-tsan build-windows

build/native/CMakeCache.txt: | deps
	cmake --preset native >/dev/null
build/native-tsan/CMakeCache.txt: | deps
	cmake --preset native-tsan >/dev/null
build/windows/CMakeCache.txt: | deps
	cmake --preset windows >/dev/null

build-native: deps build/native/CMakeCache.txt
	cmake --build build/native -j $(JOBS)
build-tsan: deps build/native-tsan/CMakeCache.txt
	cmake --build build/native-tsan -j $(JOBS)
build-windows: deps build/windows/CMakeCache.txt
	cmake --build build/windows -j $(JOBS)

test-native: build-native
	cd build/native && $(CTEST) -L unit
test-tsan: build-tsan
	cd build/native-tsan && $(CTEST) -L threads
test-windows: build-windows
	scripts/test-session.sh sh -c 'cd build/windows && $(CTEST)'

test: test-native test-tsan test-windows

clean:
	rm -rf build
