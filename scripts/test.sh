#!/usr/bin/env bash
# Sets up a fresh machine and runs every test: the C++ core tests, the Python
# suite under CPython and under PyPy, and the armhf PyPy run under emulation
# (skipped with TAMREL_SKIP_ARMHF=1).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

echo "== C++ core tests"
ctest --test-dir build/core --output-on-failure -j2 | tail -n 3

echo "== Python tests under CPython"
.venv/bin/python -m pytest -q tests/python -p no:cacheprovider

echo "== Python tests under PyPy"
.venv-pypy/bin/python -m pytest -q tests/python -p no:cacheprovider --ignore-glob='*test_pkg_*'

if [ "${TAMREL_SKIP_ARMHF:-0}" = 1 ]; then
    echo "== armhf run skipped (TAMREL_SKIP_ARMHF=1)"
elif [ -f tests/armhf/run.sh ]; then
    echo "== armhf PyPy under emulation"
    bash tests/armhf/run.sh
fi
