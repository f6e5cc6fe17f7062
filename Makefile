# Front door: `make tour` runs every program on its sample input, `make
# test` is the learner's loop (the sanitizer build's quick tests), `make
# test-all` runs every test in the normal and the sanitizer build. Each
# command first installs the Debian packages it needs (lab/deps.sh).

# CI builds with warnings as errors.
WERROR = $(if $(CI),ON,OFF)
DEPS = sh lab/deps.sh
# The lab's Python (lab/); its error lines name the command.
PY = LAB_COMMAND="make $@" python3 -m
# Configures a build folder when it is new, when packages were installed
# or the presets changed since (build/deps.stamp, CMakePresets.json), or
# when its warnings-as-errors setting is not the command's (the second
# argument, when given, overrides it); otherwise the build reconfigures by
# itself when a CMakeLists.txt changes.
# build/NAME/configured marks when this last configured it. One command
# at a time configures a build (build/NAME.lock, which the lab's builds
# take too): two pictures asked for at once both find it configured.
CONFIGURE = mkdir -p build && exec 9>build/$(1).lock && flock 9 && \
	{ test -f build/$(1)/configured && \
	! test build/deps.stamp -nt build/$(1)/configured && \
	! test CMakePresets.json -nt build/$(1)/configured && \
	grep -qx 'CMAKE_COMPILE_WARNING_AS_ERROR:BOOL=$(or $(2),$(WERROR))' \
	  build/$(1)/CMakeCache.txt; } || \
	{ cmake --preset $(1) --log-level=NOTICE \
	    -DCMAKE_COMPILE_WARNING_AS_ERROR:BOOL=$(or $(2),$(WERROR)) && \
	  touch build/$(1)/configured; }
# Builds a preset's targets. At a terminal ninja shows its progress on one
# line; elsewhere (a log, an editor) only what the compiler says.
BUILD = echo cmake --build --preset $(1); \
	if [ -t 1 ]; then cmake --build --preset $(1); \
	else cmake --build --preset $(1) -- --quiet; fi

.PHONY: all build tour test test-all mistakes tables picture run exercise answer \
	exercise-undo bench format lint

all: build

build:
	@$(DEPS) build window
	@$(call CONFIGURE,default)
	cmake --build --preset default

tour:
	@$(DEPS) build window tour
	@$(call CONFIGURE,default)
	cmake --build --preset default
	@$(PY) lab.commands.tour build/default

# A test whose binary, files and settings are as when it last passed is not
# run again; FRESH=1 runs every one.
test:
	@$(DEPS) build window test
	@$(call CONFIGURE,asan)
	@$(call BUILD,asan)
	@$(PY) lab.commands.testreport quick 30 $(if $(FRESH),,--reuse)

test-all:
	@$(DEPS) build window tour test full bench picture browser
	@$(call CONFIGURE,default)
	@$(call CONFIGURE,asan)
	cmake --build --preset default-all
	cmake --build --preset asan-all
	@$(PY) lab.commands.testreport default
	@$(PY) lab.commands.testreport asan

# Each classic mistake of mistakes/ made in a worktree of the committed
# lessons, and the tests that catch it; `make tables` also writes README.md's
# tables of programs and of mistakes.
mistakes:
	@$(DEPS) build window test lint
	$(PY) lab.commands.mistakes

tables:
	@$(DEPS) build window test lint
	$(PY) lab.commands.mistakes --tables

# The exercises of exercises/: `make exercise` lists them, NAME=<name>
# hands one out; `make answer` and `make exercise-undo` take NAME too.
exercise:
	@$(PY) lab.commands.exercise $(NAME)

answer:
	@$(PY) lab.commands.exercise --answer $(NAME)

exercise-undo:
	@$(PY) lab.commands.exercise --undo $(NAME)

# One run drawn step by step: make picture NAME=<program> [INPUT=<file>],
# make picture TEST=<Suite.Name> or make picture FILE=<a .cpp of your own>
# [INPUT=<file>]; STEPS= and SECONDS= cap it. picture.draw
# reads them from the environment, where make puts what the command sets.
# A slip that the compiler warns of is drawn, with its warnings: never as
# errors.
picture:
	@$(DEPS) build picture $(if $(TEST),test)
	@$(call CONFIGURE,picture,OFF)
	@$(PY) lab.picture.draw

# A program of one's own, one C++ file anywhere: make run FILE=<file>
# [INPUT=<file>] runs it under the sanitizers, make picture FILE=<file> draws it.
run:
	@$(DEPS) build test
	@$(call CONFIGURE,asan)
	@$(PY) lab.commands.own

bench:
	@$(DEPS) build window bench
	@$(call CONFIGURE,default)
	cmake --build --preset default --target benchmarks
	build/default/tests/panesink_benchmark
	build/default/tests/window_benchmark

format:
	@$(DEPS) format
	clang-format -i $$(git ls-files -co --exclude-standard '*.cpp' '*.h')

# clang-tidy on every source of the compile database; any finding fails.
lint:
	@$(DEPS) build window test lint
	@$(call CONFIGURE,asan)
	@cmake --build --preset asan --target testsupport panesink  # their precompiled headers
	@run-clang-tidy -p build/asan -quiet >build/lint.log 2>&1; status=$$?; \
	  grep -v -e '^clang-tidy' -e 'warnings\? generated' build/lint.log; \
	  [ $$status -eq 0 ] && echo "lint: no findings"; exit $$status
