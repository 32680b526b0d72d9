# Set-up commands; see README.md.
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
JOBS       ?= 2
CMAKE_GEN  = cmake -G Ninja -S .

.PHONY: deps build run test unit-asan bench clean

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

# The unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
unit-asan: deps
	$(CMAKE_GEN) -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DMONITOR_SANITIZE=address
	cmake --build $(ASAN_BUILD) --target unit_tests
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS) -L unit

bench: build
	./scripts/bench.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD)
