# Front door. `make test` works on a fresh Debian 12 machine: it installs what is missing,
# builds, and runs every test (unit, integration against a private PipeWire session, interface).
PRESET ?= default
JOBS ?= $(shell nproc)

.PHONY: deps build test unit bench run demo format clean package screenshots

deps:
	scripts/install-deps

build: deps
	cmake --preset $(PRESET)
	cmake --build --preset $(PRESET) -j $(JOBS)

test: build
	scripts/run-tests build

# The .deb of this build: build/mixelot_<version>_<arch>.deb.
package: build
	cmake --build --preset $(PRESET) --target package

unit: build
	ctest --test-dir build -L unit --output-on-failure -j $(JOBS)

# The program on the desktop's own audio session.
run: build
	build/bin/mixelot

# The program against a private audio session with tone-playing apps; no desktop needed.
demo: build
	scripts/demo

bench: build
	@for b in build/bin/bench-*; do echo "== $$b"; $$b || exit 1; done

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build build-debug build-asan build-tsan

# Every state of the mixer panel, light and dark, rendered offscreen to build/screenshots/*.png.
screenshots: build
	cmake --build --preset $(PRESET) --target mixelot-screenshots
	build/bin/mixelot-screenshots build/screenshots
