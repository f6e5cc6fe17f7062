# Front door: `make tour` runs every program on its sample input, `make
# test` is the learner's loop (the sanitizer build's quick tests), `make
# test-all` runs every test in the normal and the sanitizer build. Each
# command first installs the Debian packages it needs (scripts/deps.sh).

# CI builds with warnings as errors.
ifdef CI
CONFIGURE_FLAGS += -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
else
CONFIGURE_FLAGS += -DCMAKE_COMPILE_WARNING_AS_ERROR=OFF
endif
DEPS = sh scripts/deps.sh
# Configures a build folder the first time, and again once packages were
# installed since; otherwise the build reconfigures by itself when a
# CMakeLists.txt changes.
CONFIGURE = { test -f build/$(1)/CMakeCache.txt && \
	! test build/deps.stamp -nt build/$(1)/CMakeCache.txt; } || \
	cmake --preset $(1) --log-level=NOTICE $(CONFIGURE_FLAGS)

# Builds a preset's targets. At a terminal ninja shows its progress on one
# line; elsewhere (a log, an editor) only what the compiler says.
BUILD = echo cmake --build --preset $(1); \
	if [ -t 1 ]; then cmake --build --preset $(1); \
	else cmake --build --preset $(1) -- --quiet; fi

.PHONY: all build tour test test-all mistakes exercise answer exercise-undo \
	bench format lint

all: build

build:
	@$(DEPS) build window
	@$(call CONFIGURE,default)
	cmake --build --preset default

tour:
	@$(DEPS) build window tour
	@$(call CONFIGURE,default)
	cmake --build --preset default
	@sh scripts/tour.sh build/default

test:
	@$(DEPS) build window test
	@$(call CONFIGURE,asan)
	@$(call BUILD,asan)
	@python3 scripts/testreport.py quick 30

test-all:
	@$(DEPS) build window tour test full bench
	@$(call CONFIGURE,default)
	@$(call CONFIGURE,asan)
	cmake --build --preset default-all
	cmake --build --preset asan-all
	@python3 scripts/testreport.py default
	@python3 scripts/testreport.py asan

# Each classic mistake of mistakes/ made in a scratch copy, and the tests
# that catch it.
mistakes:
	@$(DEPS) build window test lint
	python3 scripts/mistakes.py

# The exercises of exercises/: `make exercise` lists them, NAME=<name>
# hands one out; `make answer` and `make exercise-undo` take NAME too.
exercise:
	@python3 scripts/exercise.py $(NAME)

answer:
	@python3 scripts/exercise.py --answer $(NAME)

exercise-undo:
	@python3 scripts/exercise.py --undo $(NAME)

bench:
	@$(DEPS) build window bench
	@$(call CONFIGURE,default)
	cmake --build --preset default --target benchmarks
	build/default/tests/panesink_benchmark
	build/default/tests/window_benchmark

format:
	@$(DEPS) format
	clang-format -i $$(git ls-files -co --exclude-standard '*.cpp' '*.h')

lint:
	@$(DEPS) build window test lint
	@$(call CONFIGURE,asan)
	@sh scripts/lint.sh build/asan
