# kwivel developer commands.  `make test` is the one CI runs.
SHELL := /bin/bash
PYTHON_SYS := /usr/bin/python3
VENV := .venv
PY := $(VENV)/bin/python
JOBS ?= $(shell nproc)

# Debian packages needed to build and test, and additionally to benchmark.
BUILD_PKGS := g++ meson ninja-build pkg-config python3-dev python3-venv python3-pip \
              python3-numpy python3-scipy python3-pytest python3-hypothesis python3-mesonpy \
              libgtest-dev python3-distributed
BENCH_PKGS := libbenchmark-dev python3-faiss python3-threadpoolctl libopenblas0-pthread
FUZZ_PKGS := clang libclang-rt-14-dev
# The stub check, the command-line tests (eval --plot), the partitioned index and
# collections (faiss k-means), and the demo.
TEST_PKGS := mypy python3-matplotlib python3-faiss
DEMO_PKGS := python3-tqdm python3-matplotlib python3-hnswlib python3-faiss dataset-fashion-mnist libopenblas0-pthread
# Real sentence vectors (bench/realdata.py): fastText and the documentation it reads.
DATA_PKGS := python3-numpy fasttext python3-fasttext python3.11-doc linux-doc-6.1 postgresql-doc-15 \
             python-django-doc git-doc debian-reference-en octave-doc sqlite3-doc perl-doc \
             manpages manpages-dev tcl8.6-doc

.PHONY: demo data stubtest dev tsan deps build test test-core test-sanitize test-python bench bench-kernels bench-deps fuzz clean

define ensure_pkgs
	@missing=$$(for p in $(1); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing:" $$missing; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing >/dev/null || exit 1; \
	  else \
	    echo "missing Debian packages; run as root:"; \
	    echo "  apt-get install -y $$missing"; \
	    exit 1; \
	  fi; \
	fi
endef

deps:
	$(call ensure_pkgs,$(BUILD_PKGS))

$(VENV)/bin/python:
	$(PYTHON_SYS) -m venv --system-site-packages $(VENV)

# The package's build folder also holds the core tests, so the release core is
# compiled once for the module and the tests.
build: deps $(VENV)/bin/python
	mkdir -p build
	$(PY) -m pip install --no-build-isolation --no-deps --no-index -q \
	  --config-settings=builddir=build/py --config-settings=setup-args=-Dtests=true .

build/sanitize/build.ninja:
	meson setup build/sanitize -Dpython=false -Dbuildtype=debugoptimized \
	  -Db_sanitize=address,undefined -Db_lundef=false

# A private build for working on the module without installing it:
# `make dev DEV=name` builds into build/dev-name and stages the package in
# build/dev-name/stage; run tests with PYTHONPATH=build/dev-name/stage.
DEV ?= main
dev:
	[ -f build/dev-$(DEV)/build.ninja ] || meson setup build/dev-$(DEV) -Dtests=false -Dbuildtype=release >/dev/null
	ninja -C build/dev-$(DEV) >/dev/null
	mkdir -p build/dev-$(DEV)/stage/kwivel
	for f in python/kwivel/*; do ln -sfn "$$PWD/$$f" build/dev-$(DEV)/stage/kwivel/; done
	ln -sfn "$$PWD"/build/dev-$(DEV)/_kwivel*.so "$$PWD"/build/dev-$(DEV)/_batched*.so build/dev-$(DEV)/stage/kwivel/

test-core: build
	meson test -C build/py --print-errorlogs --num-processes $(JOBS)

test-sanitize: deps build/sanitize/build.ninja
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ASAN_OPTIONS=detect_leaks=1 \
	  meson test -C build/sanitize --print-errorlogs --num-processes $(JOBS)

test-python: build stubtest
	cd tests/python && ../../$(PY) -m pytest -q -p no:cacheprovider .
	cd tests/python && KWIVEL_MAX_TIER=portable ../../$(PY) -m pytest -q -p no:cacheprovider .

# The type stubs of the native module against the built module.
stubtest: build
	$(call ensure_pkgs,$(TEST_PKGS))
	MYPY_CACHE_DIR=build/mypy-cache $(PY) -m mypy.stubtest kwivel._kwivel kwivel._batched

# Fashion-MNIST through every index and the two-stage pipeline, beside hnswlib:
# writes demo/table.md and demo/recall_qps.png.
demo: build
	$(call ensure_pkgs,$(DEMO_PKGS))
	$(PY) -m kwivel demo --out demo

# fastText sentence vectors of Debian's documentation into build/data
# (corpus.npy, queries.npy, info.json); reused while the inputs match.
data:
	$(call ensure_pkgs,$(DATA_PKGS))
	$(PYTHON_SYS) bench/realdata.py --out build/data

build/tsan/build.ninja:
	meson setup build/tsan -Dpython=false -Dbuildtype=debugoptimized -Db_sanitize=thread -Db_lundef=false

# The worker pool and the loaders' overlapped reads under ThreadSanitizer.
TSAN_TESTS := test_parallel test_rank_io
tsan: deps build/tsan/build.ninja
	ninja -C build/tsan $(addprefix tests/cpp/,$(TSAN_TESTS))
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  meson test -C build/tsan --no-rebuild --print-errorlogs --num-processes $(JOBS) $(TSAN_TESTS) test_rank_io_threads8

test: build test-core test-sanitize tsan test-python

bench-deps: deps
	$(call ensure_pkgs,$(BENCH_PKGS))

bench: bench-deps build
	$(PY) bench/run.py

# Google Benchmark kernel timings (portable and SIMD variants side by side).
bench-kernels: bench-deps
	[ -f build/bench/build.ninja ] || meson setup build/bench -Dpython=false -Dtests=false -Dbenchmarks=true
	meson compile -C build/bench
	for b in build/bench/bench/bench_*; do [ -x "$$b" ] && "$$b" --benchmark_min_time=0.2; done

fuzz: deps
	$(call ensure_pkgs,$(FUZZ_PKGS))
	bash tests/fuzz/run.sh $(FUZZ_SECONDS)

clean:
	rm -rf build $(VENV)
