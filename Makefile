# The two commands of the README:
#   make        installs what is missing, builds every configuration into
#               out/<configuration>/ and runs the demonstration
#   make test   builds if needed and runs every configuration's tests,
#               the sanitizer, fuzzing and clang configurations included
# and the ones for deeper work:
#   make lint   clang-tidy and cppcheck over the project's sources
#   make fuzz   a longer fuzzing run of the module's entry points
#   make bench  benchmarks and the footprint report
CONFIGS := host armv5te i686
CHECK_CONFIGS := host-asan host-tsan host-fuzz host-clang
FUZZ_SECONDS ?= 60

.PHONY: all deps build demo test lint fuzz bench $(CONFIGS) $(CHECK_CONFIGS)

all: build demo

deps:
	@./scripts/install-deps

build: $(CONFIGS)

$(CONFIGS): deps
	@test -f build/$@/build.ninja || cmake --preset $@
	cmake --build --preset $@
	cmake --install build/$@ --strip > /dev/null

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
