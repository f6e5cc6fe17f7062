# Front door: `make tour` runs every program on its sample input,
# `make test` runs every test in the normal and the sanitizer build.
# Both install missing Debian packages first (scripts/deps.sh).

# CI builds with warnings as errors.
ifdef CI
CONFIGURE_FLAGS += -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
else
CONFIGURE_FLAGS += -DCMAKE_COMPILE_WARNING_AS_ERROR=OFF
endif

.PHONY: all deps build build-asan tour test mistakes bench format

all: build

deps:
	@sh scripts/deps.sh

build: deps
	cmake --preset default $(CONFIGURE_FLAGS)
	cmake --build --preset default

build-asan: deps
	cmake --preset asan $(CONFIGURE_FLAGS)
	cmake --build --preset asan

tour: build
	@sh scripts/tour.sh build/default

test: build build-asan
	ctest --preset default
	ctest --preset asan

# Each classic mistake of mistakes/ made in a scratch copy, and the tests
# that catch it.
mistakes: deps
	python3 scripts/mistakes.py

bench: build
	build/default/tests/panesink_benchmark
	build/default/tests/window_benchmark

format:
	clang-format -i $$(git ls-files -co --exclude-standard '*.cpp' '*.h')
