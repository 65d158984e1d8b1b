# The two commands of the README:
#   make run    builds the player and runs the demo game in a window
#   make test   builds and runs every test, also under ASan + UBSan, and the fuzzers briefly
JOBS ?= $(shell nproc)

.PHONY: run test deps build build-asan build-fuzz fuzz bench

deps:
	@./scripts/install-deps.sh

build: deps
	@cmake --preset release >/dev/null
	@cmake --build --preset release -j $(JOBS)

run: build
	@./scripts/run-demo.sh build/release

build-asan: deps
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan -j $(JOBS)

build-fuzz: deps
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz -j $(JOBS)

fuzz: build-fuzz
	@./scripts/run-fuzzers.sh build/fuzz 20

test: build build-asan build-fuzz
	@ctest --preset release
	@ctest --preset asan
	@./scripts/run-fuzzers.sh build/fuzz 20

# Builds and runs every benchmark (each program three times, the best run of
# each figure kept) and prints one table of ratios against the baselines.
bench: build
	@cmake --build --preset release -j $(JOBS) --target all
	@python3 scripts/bench-report.py build/release
