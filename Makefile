# Set-up commands; see README.md.
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
JOBS       ?= 2
CMAKE_GEN  = cmake -G Ninja -S .
# Compiler warnings fail every build made here, as they fail CI's, so that
# `make build` and `make test` share one build directory (another setting
# would compile everything again). A compiler that warns about more than
# CI's: `make build WERROR=OFF`.
WERROR     ?= ON
# What `make build` builds; `make test` adds the benchmarks.
BUILD_TARGETS ?= all

.PHONY: deps build run test unit-asan unit-tsan soak-short bench soak fuzz package clean \
        format-check format tidy floors fleet

deps:
	@./scripts/install-deps.sh

# Configured on every build, so that the warning setting is the caller's.
build: deps
	$(CMAKE_GEN) -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMONITOR_WERROR=$(WERROR)
	cmake --build $(BUILD) --target $(BUILD_TARGETS)

run: build
	./scripts/demo.sh $(BUILD)

# CI: every build with warnings as errors; the style check comes last, so
# that a file out of style does not hide a failing test. The benchmarks are
# compiled, not run, so that none stops building unseen (about 10 s).
test: WERROR = ON
test: BUILD_TARGETS = all benchmarks
test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	$(MAKE) unit-asan WERROR=ON
	$(MAKE) unit-tsan WERROR=ON
	$(MAKE) soak-short WERROR=ON
	$(MAKE) floors
	$(MAKE) format-check

# The unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
unit-asan: deps
	$(CMAKE_GEN) -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DMONITOR_SANITIZE=address \
	  -DMONITOR_WERROR=$(WERROR)
	cmake --build $(ASAN_BUILD) --target unit_tests
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS) -L unit

# Under ThreadSanitizer, the unit tests in which threads meet and the
# end-to-end tests in which both threads touch the program table.
unit-tsan: deps
	JOBS=$(JOBS) ./scripts/tsan.sh $(TSAN_BUILD) -DMONITOR_WERROR=$(WERROR)

# About a minute of the soak test, as part of make test.
soak-short: build
	SOAK_SECONDS=60 ./scripts/soak.sh $(BUILD)

# A fleet of 20 simulated hosts, a node exporter each and a Prometheus server,
# through a phased rollout and a rollback (scripts/fleet-sim.sh; root).
fleet: build
	./scripts/fleet-sim.sh --build $(BUILD)

# The soak test; SOAK_SECONDS sets its length (default 600).
soak: build
	./scripts/soak.sh $(BUILD)

# Every fuzz target for FUZZ_SECONDS each (default 60).
fuzz: deps
	./scripts/fuzz.sh

# A Debian package of the supervisor under build/.
package: build
	cd $(BUILD) && cpack -G DEB

# Builds the benchmarks (the default build leaves them out) and runs them all.
bench: build
	cmake --build $(BUILD) --target benchmarks
	./scripts/bench.sh $(BUILD)

# Fails when a folder of Run/ includes one on its floor or above, or files
# include each other.
floors:
	./scripts/check-floors.py

# Fails with the list of C and C++ files that clang-format 14 would change.
format-check: deps
	./scripts/format.sh check

# Formats those files in place.
format: deps
	./scripts/format.sh apply

# clang-tidy 14 with .clang-tidy over the toolkit and the supervisor.
tidy: build
	./scripts/tidy.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD)
