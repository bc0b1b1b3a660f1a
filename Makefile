# Thin wrapper over CMake. `make demo` flashes the sample firmware into the
# simulated module; `make test` builds and runs every test.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE ?= cmake

.PHONY: all demo test asan clean

all: $(BUILD)/Makefile
	$(CMAKE) --build $(BUILD) -j $(JOBS)

$(BUILD)/Makefile:
	$(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

demo: all
	scripts/demo.sh $(BUILD)

test: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

$(ASAN_BUILD)/Makefile:
	$(CMAKE) -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTARVION_SANITIZE=ON

asan: $(ASAN_BUILD)/Makefile
	$(CMAKE) --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
