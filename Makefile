# SPDX-License-Identifier: Apache-2.0
# The two commands of the README:
#   make        installs what is missing, builds every configuration into
#               out/<configuration>/ and runs the demonstration
#   make test   builds if needed and runs every configuration's tests,
#               the sanitizer, fuzzing and clang configurations included
# and the ones for deeper work:
#   make lint   clang-tidy, cppcheck, shellcheck and the licence lines
#   make fuzz   a longer fuzzing run of the module's entry points
#   make bench  benchmarks and the footprint report
#   make coverage  the module's line and branch coverage by the host tests
#   make release  dist/lumivane-VERSION.tar.xz of this commit, qualified
#               (docs/release.md)
#   make package  the Debian packages of the device, the kit and the records
#               header into dist/ (docs/release.md)
CONFIGS := host armv5te i686
CHECK_CONFIGS := host-asan host-tsan host-fuzz host-clang
FUZZ_SECONDS ?= 60
# Warnings stop the build in CI (and always in the check configurations);
# a user's build with a newer compiler warns and goes on.
WARNINGS_AS_ERRORS ?= $(if $(filter true,$(CI)),ON,OFF)

.PHONY: all deps build device demo test lint fuzz bench coverage release package $(CONFIGS) $(CHECK_CONFIGS)

all: build demo

deps:
	@./scripts/install-deps

build: $(CONFIGS) device

$(CONFIGS): deps
	@test -f build/$@/build.ninja || cmake --preset $@ -DCMAKE_COMPILE_WARNING_AS_ERROR=$(WARNINGS_AS_ERRORS)
	cmake --build --preset $@
	cmake --install build/$@ --strip > /dev/null

# The emulated device's kernel, device tree and backlight driver, and Debian's
# gdbserver for it: built or fetched once per machine into a cache outside the
# clone, then installed beside its runner.
device: armv5te
	@entry=$$(./scripts/device-kernel) && \
	install -m 644 -D -t out/armv5te/share/pellix-device \
	    "$$entry/zImage" "$$entry/versatile-pb.dtb" "$$entry/pellix_bl.ko" "$$entry/kernel.release"
	@entry=$$(./scripts/device-gdbserver) && \
	install -m 755 -D -t out/armv5te/share/pellix-device "$$entry/gdbserver"

# Configurations that only exist to be tested; nothing of them is installed.
$(CHECK_CONFIGS): deps
	@test -f build/$@/build.ninja || cmake --preset $@
	cmake --build --preset $@

demo: build
	@./scripts/demo

test: build $(CHECK_CONFIGS)
	@./scripts/run-tests $(CONFIGS) $(CHECK_CONFIGS)

lint: deps
	@./scripts/lint

fuzz: host-fuzz
	@./scripts/fuzz $(FUZZ_SECONDS)

bench: build
	@./scripts/bench

coverage: deps
	@./scripts/coverage

# The release builds what ships in build folders of its own.
release: deps
	@./scripts/release

# The Debian packages, built by dpkg-buildpackage from debian/.
package: deps
	@./scripts/package
