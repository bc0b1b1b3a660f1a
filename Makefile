# Thin wrapper over CMake. `make demo` flashes the sample firmware into the
# simulated module; `make test` builds and runs every test.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# The tests wait on the line far more than they compute (the whole suite
# uses about a quarter of one processor): two more at a time than there are
# processors keeps them busy without stretching any test's waits.
TEST_JOBS ?= $(shell echo $$(( $(JOBS) + 2 )))
CMAKE ?= cmake
# Extra configure options of the build and the sanitizer build, e.g.
# CMAKE_FLAGS=-DTARVION_WERROR=ON (CI); they apply when a build is first
# configured.
CMAKE_FLAGS ?=

.PHONY: all demo test asan clean cross-test static packages board-test

all: $(BUILD)/Makefile
	$(CMAKE) --build $(BUILD) -j $(JOBS)

$(BUILD)/Makefile:
	$(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

# Only the two programs the demo runs, not the tests.
demo: $(BUILD)/Makefile
	$(CMAKE) --build $(BUILD) -j $(JOBS) --target tarvion_update tarvion_module_sim
	scripts/demo.sh $(BUILD)

test: all
	cd $(BUILD) && ctest --output-on-failure -j $(TEST_JOBS)

$(ASAN_BUILD)/Makefile:
	$(CMAKE) -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTARVION_SANITIZE=ON $(CMAKE_FLAGS)

asan: $(ASAN_BUILD)/Makefile
	$(CMAKE) --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

# Cross builds for the board (CMakePresets.json); ARM programs run under
# qemu-user. `make cross-test`: the armhf build and every test under qemu-arm.
# `make static`: fully static armhf executables. `make packages`: a Debian
# package for amd64, armhf and arm64, each checked.
PROGRAMS = tarvion_update tarvion_module_sim

cross-test:
	$(CMAKE) --preset armhf
	$(CMAKE) --build --preset armhf -j $(JOBS)
	ctest --preset armhf -j $(JOBS)

static:
	$(CMAKE) --preset armhf-static
	$(CMAKE) --build --preset armhf-static -j $(JOBS)
	cd build-armhf-static && cpack
	scripts/check-package.sh --static build-armhf-static/tarvion-update_*_armhf.deb

packages: all
	cd $(BUILD) && cpack
	$(CMAKE) --preset armhf
	$(CMAKE) --build --preset armhf -j $(JOBS) --target $(PROGRAMS)
	cd build-armhf && cpack
	$(CMAKE) --preset aarch64
	$(CMAKE) --build --preset aarch64 -j $(JOBS) --target $(PROGRAMS)
	cd build-aarch64 && cpack
	for deb in $(BUILD)/*.deb build-armhf/*.deb build-aarch64/*.deb; do scripts/check-package.sh $$deb; done

# `make board-test`: the static armhf package's flasher on an emulated ARM
# board under Debian's kernel, flashing the simulated module (tests/board).
board-test: static all
	tests/board/board-test.sh --deb "$$(ls build-armhf-static/tarvion-update_*_armhf.deb | tail -1)" \
	  --sim $(BUILD)/sim/tarvion_module_sim --follower $(BUILD)/tests/board/board_pin_follower \
	  --out $(BUILD)/tests/board/board-test

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-armhf build-armhf-static build-aarch64
