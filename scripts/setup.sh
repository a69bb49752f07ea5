#!/usr/bin/env bash
# Prepares a fresh machine: system packages (when run as root), then a CPython
# virtual environment (.venv) and a PyPy one (.venv-pypy), each with the
# package built and installed from this tree; and a CPython environment with
# mokapot alone (.venv-mokapot), which the tests use to read our Percolator input.
#   scripts/setup.sh [cpython] [pypy] [core] [mokapot]   (default: all four)
set -euo pipefail
cd "$(dirname "$0")/.."
want="${*:-cpython pypy core mokapot}"

apt_packages=(g++ cmake ninja-build libgtest-dev zlib1g-dev pypy3 pypy3-dev pypy3-venv python3-venv)
missing=()
for p in "${apt_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
    if [ "$(id -u)" = 0 ]; then
        echo "== installing system packages: ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    else
        echo "== missing system packages (install them as root): ${missing[*]}" >&2
    fi
fi

if [[ " $want " == *" cpython "* ]]; then
    echo "== CPython environment (.venv)"
    [ -x .venv/bin/python ] || python3 -m venv .venv
    .venv/bin/python -m pip install -q --upgrade pip
    .venv/bin/python -m pip install -q ".[test,cluster]"
fi

if [[ " $want " == *" pypy "* ]]; then
    echo "== PyPy environment (.venv-pypy)"
    [ -x .venv-pypy/bin/python ] || pypy3 -m venv .venv-pypy
    .venv-pypy/bin/python -m pip install -q pytest
    # The pure-Python layer's dependencies are CPython-first; PyPy gets the engine alone.
    .venv-pypy/bin/python -m pip install -q --no-deps .
fi

if [[ " $want " == *" mokapot "* ]]; then
    echo "== mokapot environment (.venv-mokapot)"
    [ -x .venv-mokapot/bin/python ] || python3 -m venv .venv-mokapot
    # Its last release breaks on numpy 2 and pandas 3, which our own environment uses.
    .venv-mokapot/bin/python -m pip install -q "mokapot==0.10.0" "numpy<2" "pandas<2.2"
fi

if [[ " $want " == *" core "* ]]; then
    echo "== C++ core and its tests (build/core)"
    cmake -S . -B build/core -G Ninja -DTAMREL_PYTHON=OFF -DTAMREL_TESTS=ON -DTAMREL_BENCHMARKS=ON >/dev/null
    cmake --build build/core
fi
