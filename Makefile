# The two commands of the README:
#   make        installs what is missing, builds every configuration into
#               out/<configuration>/ and runs the demonstration
#   make test   builds if needed and runs every configuration's tests
CONFIGS := host armv5te i686

.PHONY: all deps build demo test bench $(CONFIGS)

all: build demo

deps:
	@./scripts/install-deps

build: $(CONFIGS)

$(CONFIGS): deps
	@test -f build/$@/build.ninja || cmake --preset $@
	cmake --build --preset $@
	cmake --install build/$@ --strip > /dev/null

demo:
	@./scripts/demo

test: build
	@./scripts/run-tests $(CONFIGS)

bench: build
	@./scripts/bench
