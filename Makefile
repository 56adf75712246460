# make demo  - set everything up on a fresh Debian 12 machine and run the demo
# make test  - set everything up and run the test suite
# make bench - run the benchmarks (make bench QUICK=1: smaller sizes, about a minute)
# make fuzz  - sanitizer build of the extensions and a long fuzz run
# make cuda-check - compile every limb kernel as CUDA device code (skipped without nvcc)
SHELL := /bin/bash
SYS_PY := /usr/bin/python3
VENV := .venv
PY := $(VENV)/bin/python
APT_PKGS := g++ ninja-build ccache python3-venv python3-torch libtorch-dev python3-pybind11 \
            python3-numpy python3-pytest python3-hypothesis python3-mpmath mypy
BENCH_PKGS := libqd-dev libmpfr-dev python3-gmpy2
# ccache's compiler links, when present, make rebuilds after a clean cheap.
CCACHE_PATH := $(if $(wildcard /usr/lib/ccache/g++),/usr/lib/ccache:,)
# Paths relative to the checkout let a fresh clone reuse the objects.
BUILD_ENV := PATH="$(CCACHE_PATH)$$PATH" CCACHE_BASEDIR=$(CURDIR) MAX_JOBS=$${MAX_JOBS:-2}
SOURCES := $(shell find csrc -name '*.h' -o -name '*.cpp' -o -name '*.def') setup.py buildsys/kernel_flags.py \
           src/varnel/zel/zel.pyi.in tools/gen_stubs.py tools/ops_def.py
SO_STAMP := build/.stamp-so

.PHONY: demo test bench fuzz deps build clean cuda-check

demo: build
	$(PY) -m varnel.zel

test: build
	$(PY) -m pytest -q tests

BENCH_ARGS := $(if $(QUICK),--quick,)

bench: build .stamp-bench-deps
	@for f in bench/bench_*.py; do \
	  echo "== $$f $(BENCH_ARGS)"; start=$$(date +%s); \
	  $(PY) $$f $(BENCH_ARGS) || exit 1; \
	  echo "== $$f: $$(( $$(date +%s) - start )) s"; \
	done

deps: .stamp-deps

# Installs only what is missing; a second run is a dpkg query.
define apt_install
	@missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=$$([ "$$(id -u)" = 0 ] || echo sudo); \
	  $$SUDO apt-get update -q && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -q $$missing; \
	fi
	@touch $@
endef

.stamp-deps:
	$(call apt_install,$(APT_PKGS))

# Benchmarks only: the QD library to compare with, mpmath's fast backend.
.stamp-bench-deps: .stamp-deps
	$(call apt_install,$(BENCH_PKGS))

$(VENV)/.stamp: .stamp-deps
	$(SYS_PY) -m venv --system-site-packages $(VENV)
	@touch $@

# An in-place build plus a path entry is what an editable install does; the
# persistent build/ folder keeps ninja's rebuilds incremental.
build: $(SO_STAMP)

$(SO_STAMP): $(VENV)/.stamp $(SOURCES)
	$(BUILD_ENV) flock /tmp/varnel-zel-build.lock $(PY) setup.py -q build_ext --inplace
	@echo "$(CURDIR)/src" > "$$($(PY) -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')/varnel_zel.pth"
	@mkdir -p build && touch $@

fuzz: $(VENV)/.stamp
	tests/fuzz/run_sanitized.sh

# The limb headers as device code: no contraction into FMA, IEEE division
# and square root, warnings are errors. Compiles only; no GPU is needed.
NVCC ?= $(or $(shell command -v nvcc 2>/dev/null),$(wildcard /usr/local/cuda/bin/nvcc))
CUDA_ARCH ?= sm_90
cuda-check:
	@if [ -z "$(NVCC)" ]; then echo "cuda-check: nvcc not found, skipped"; exit 0; fi; \
	mkdir -p build && \
	$(NVCC) -std=c++17 -arch=$(CUDA_ARCH) -fmad=false -prec-div=true -prec-sqrt=true -Werror all-warnings \
	  -Icsrc -c csrc/cuda/limbs_kernels.cu -o build/limbs_kernels.o && \
	echo "cuda-check: csrc/cuda/limbs_kernels.cu compiled for $(CUDA_ARCH)"

clean:
	rm -rf build src/varnel/zel/*.so
