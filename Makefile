# The two commands of the README: `make demo` and `make test`.
# Both install what a fresh Debian 12 machine lacks and build what is stale.
JOBS ?= $(shell nproc)
MAKEFLAGS += --no-print-directory
CTEST = ctest --output-on-failure -j $(JOBS)

.PHONY: all deps build build-native build-tsan build-windows build-fuzz test test-native \
        test-tsan test-fuzz test-windows test-recovery demo fuzz bench soak dist check-reproducible clean

all: build

deps:
	@scripts/deps.sh

build: build-native build-tsan build-windows

build/native/CMakeCache.txt: | deps
	cmake --preset native >/dev/null
build/native-tsan/CMakeCache.txt: | deps
	cmake --preset native-tsan >/dev/null
build/fuzz/CMakeCache.txt: | deps
	cmake --preset fuzz >/dev/null
build/native-release/CMakeCache.txt: | deps
	cmake --preset native-release >/dev/null
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
# The whole interruption sweep of the window program (label recovery, a few
# minutes) runs only in test-recovery.
test-windows: build-windows
	scripts/test-session.sh sh -c 'cd build/windows && $(CTEST) -LE recovery'
test-recovery: build-windows
	scripts/test-session.sh sh -c 'cd build/windows && ctest --output-on-failure -V -L recovery'

build-fuzz: deps build/fuzz/CMakeCache.txt
	cmake --build build/fuzz -j $(JOBS)
# Short smoke runs of every fuzz target.
test-fuzz: build-fuzz
	cd build/fuzz && $(CTEST) -L fuzz

# make fuzz FUZZ_SECONDS=600: each target for that long, corpus kept in
# build/fuzz-corpus/NAME.
FUZZ_SECONDS ?= 60
fuzz: build-fuzz
	@for t in $$(cd build/fuzz && ctest -N -L fuzz | sed -n 's/.*Test *#[0-9]*: \(.*\)_smoke/\1/p'); do \
	    exe=$$(find build/fuzz/tests/fuzz -type f -name $$t -perm -u+x | head -1); \
	    mkdir -p build/fuzz-corpus/$$t; \
	    echo "== $$t for $(FUZZ_SECONDS) s"; \
	    $$exe -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 build/fuzz-corpus/$$t || exit 1; \
	done

# Benchmarks print their figures; they do not pass or fail.
bench: deps build/native-release/CMakeCache.txt build-windows
	cmake --build build/native-release -j $(JOBS)
	scripts/run-benchmarks.sh

# The soaks; they print figures and are never part of make test. First the
# whole station natively with everything failing at once (stn_chaos, for
# CHAOS_MINUTES, default 10, from CHAOS_SEED), then qvm_cli station under
# Wine through thousands of units with faults and kills (scripts/soak.sh,
# about 20 minutes). make soak CHAOS_MINUTES=M CHAOS_SEED=S SOAK_UNITS=N
# SOAK_KILLS=K SOAK_SEED=S.
CHAOS_MINUTES ?= 10
CHAOS_SEED ?= 1
soak: build-windows build/native-release/CMakeCache.txt
	cmake --build build/native-release --target stn_chaos -j $(JOBS)
	build/native-release/tests/unit/station/stn_chaos --seed $(CHAOS_SEED) --minutes $(CHAOS_MINUTES)
	@SOAK_UNITS='$(SOAK_UNITS)' SOAK_KILLS='$(SOAK_KILLS)' SOAK_SEED='$(SOAK_SEED)' scripts/soak.sh

test: test-native test-tsan test-fuzz test-windows

# The updater against the simulated device (scripts/demo.sh): on the DISPLAY
# for a person to use; without one, a walk through one whole update with a
# screenshot of each step in build/demo/shots and a short report.
demo: deps
	@scripts/demo.sh

# The release archive build/dist/qvm_updater-VERSION-win64.zip and the installer
# qvm_updater-VERSION-x64.msi beside it (scripts/dist.sh);
# make dist SIGN_PFX=FILE SIGN_PASS_FILE=FILE signs the programs and the installer.
dist: deps
	@JOBS=$(JOBS) SIGN_PFX='$(SIGN_PFX)' SIGN_PASS_FILE='$(SIGN_PASS_FILE)' scripts/dist.sh

# Two `make dist` runs from two fresh clones of HEAD, archives and installers
# compared to the byte.
check-reproducible: deps
	@SIGN_PFX='$(SIGN_PFX)' SIGN_PASS_FILE='$(SIGN_PASS_FILE)' scripts/check-reproducible.sh

clean:
	rm -rf build
