#!/usr/bin/env bash
# Runs the tests under sanitizers:
#  1. AddressSanitizer + UndefinedBehaviorSanitizer (build/asan): the core's
#     C++ tests, then the whole Python suite under CPython against both
#     extension modules built this way;
#  2. ThreadSanitizer (build/tsan): the core's C++ tests, among them the
#     worker pool's and the parallel build's and batch scoring's.
# Any report fails the run. Expects the CPython environment of setup.sh
# (run by test.sh); `scripts/sanitize.sh asan` or `tsan` runs one half.
set -euo pipefail
cd "$(dirname "$0")/.."
want="${*:-asan tsan}"
[ -x .venv/bin/python ] || bash scripts/setup.sh cpython

# Four workers on any machine, so that the pool really runs in parallel.
export RAYON_NUM_THREADS=4
# High address-space randomisation can collide with the sanitizers' fixed
# shadow layout; switch it off where the container allows.
norandom=()
if setarch "$(uname -m)" -R true 2>/dev/null; then norandom=(setarch "$(uname -m)" -R); fi

configure() {  # build dir, cmake options...
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMREL_BENCHMARKS=OFF \
        -DPython_EXECUTABLE="$PWD/.venv/bin/python" "$@" >/dev/null
}

if [[ " $want " == *" asan "* ]]; then
    echo "== ASan + UBSan build (build/asan)"
    configure build/asan -DTAMREL_SANITIZE=ON -DTAMREL_TESTS=ON -DTAMREL_PYTHON=ON
    cmake --build build/asan -j2 --target tamrel_core_tests _vornik_tamrel _native
    # The package from this tree beside the modules just built, imported
    # ahead of the installed one.
    mkdir -p build/asan/vornik_tamrel/data
    cp python/vornik_tamrel/*.py python/vornik_tamrel/py.typed build/asan/vornik_tamrel/
    cp data/BSA1_ms2.mzML.gz data/18proteins_contaminants.fasta build/asan/vornik_tamrel/data/

    export UBSAN_OPTIONS=print_stacktrace=1
    echo "== C++ core tests under ASan + UBSan"
    ASAN_OPTIONS=detect_leaks=1 "${norandom[@]}" build/asan/tamrel_core_tests --gtest_brief=1

    echo "== Python suite under ASan + UBSan (CPython)"
    # The runtime must come first; libstdc++ is preloaded with it, or the
    # runtime finds no C++ exception machinery to intercept and a throw dies.
    # The interpreter frees little at exit, hence no leak report; failing
    # allocations return null, so that memory exhaustion stays a MemoryError.
    LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
    ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
    PYTHONPATH="$PWD/build/asan" \
        "${norandom[@]}" .venv/bin/python -m pytest -q tests/python -p no:cacheprovider
fi

if [[ " $want " == *" tsan "* ]]; then
    echo "== ThreadSanitizer build of the core tests (build/tsan)"
    configure build/tsan -DTAMREL_TSAN=ON -DTAMREL_TESTS=ON -DTAMREL_PYTHON=OFF
    cmake --build build/tsan -j2 --target tamrel_core_tests
    echo "== C++ core tests under ThreadSanitizer"
    # No suppressions: a report fails the run.
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 "${norandom[@]}" \
        build/tsan/tamrel_core_tests --gtest_brief=1
fi
