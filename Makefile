# Set-up commands; see README.md.
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
JOBS       ?= 2
CMAKE_GEN  = cmake -G Ninja -S .

.PHONY: deps build run test unit-asan unit-tsan soak-short bench soak fuzz package clean

deps:
	@./scripts/install-deps.sh

$(BUILD)/build.ninja: | deps
	$(CMAKE_GEN) -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD)

run: build
	./scripts/demo.sh $(BUILD)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	$(MAKE) unit-asan
	$(MAKE) unit-tsan
	$(MAKE) soak-short

# The unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
unit-asan: deps
	$(CMAKE_GEN) -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DMONITOR_SANITIZE=address
	cmake --build $(ASAN_BUILD) --target unit_tests
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS) -L unit

# The tests in which both threads touch the program table, under ThreadSanitizer.
unit-tsan: deps
	./scripts/tsan.sh $(TSAN_BUILD)

# About a minute of the soak test, as part of make test.
soak-short: build
	SOAK_SECONDS=60 ./scripts/soak.sh $(BUILD)

# The soak test; SOAK_SECONDS sets its length (default 600).
soak: build
	./scripts/soak.sh $(BUILD)

# Every fuzz target for FUZZ_SECONDS each (default 60).
fuzz: deps
	./scripts/fuzz.sh

# A Debian package of the supervisor under build/.
package: build
	cd $(BUILD) && cpack -G DEB

bench: build
	./scripts/bench.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD)
