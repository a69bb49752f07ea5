#!/usr/bin/env bash
# Builds the core library, its C++ tests and the extension for 32-bit ARM
# hard-float with the host's cross compiler, then runs the C++ tests and the
# Python suite under Debian's armhf PyPy, emulated by qemu-user through binfmt.
#
#   bash tests/armhf/run.sh
#
# Needs root (apt-get, mount, chroot) and Debian's archive. The armhf root is
# cached in ${TAMREL_ARMHF_ROOT:-/tmp/tamrel-armhf}; delete it to start over.
# Exits 0 without running anything only when this machine cannot register
# binfmt handlers, and says so loudly.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SRC=$(cd "$HERE/../.." && pwd)
R=${TAMREL_ARMHF_ROOT:-/tmp/tamrel-armhf}
R=${R%/}
SUITE=bookworm
JOBS=${TAMREL_ARMHF_JOBS:-$(nproc)}
ROOT_PACKAGES=pypy3,pypy3-dev,libgtest-dev,zlib1g-dev
# Debian's pytest and what it needs on a Python 3.9 interpreter; all are
# Architecture: all, so the host's apt fetches them.
PYTEST_DEBS="python3-pytest python3-attr python3-more-itertools python3-pkg-resources
  python3-pluggy python3-py python3-exceptiongroup python3-iniconfig python3-packaging python3-tomli"
ROOT_KEY="$SUITE $ROOT_PACKAGES $(echo $PYTEST_DEBS)"

say() { printf '[armhf] %s\n' "$*"; }
PHASE_START=$(date +%s)
lap() { local now; now=$(date +%s); say "$1 ($((now - PHASE_START)) s)"; PHASE_START=$now; }
die() { printf '[armhf] FAILED: %s\n' "$*" >&2; exit 1; }

[ "$(id -u)" = 0 ] || die "must run as root (apt-get, mount, chroot)"
case "$R" in /|"") die "refusing to use '$R' as the armhf root";; esac
START=$(date +%s)

# --- host tools -------------------------------------------------------------
missing=()
for pair in qemu-arm-static:qemu-user-static update-binfmts:binfmt-support \
            debootstrap:debootstrap arm-linux-gnueabihf-g++:g++-arm-linux-gnueabihf \
            cmake:cmake; do
  command -v "${pair%%:*}" >/dev/null 2>&1 || missing+=("${pair#*:}")
done
if [ ${#missing[@]} -gt 0 ]; then
  say "installing host packages: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# --- binfmt: the one condition under which the run is skipped ----------------
binfmt_ready() {
  mountpoint -q /proc/sys/fs/binfmt_misc \
    || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null || return 1
  [ -e /proc/sys/fs/binfmt_misc/qemu-arm ] || update-binfmts --import qemu-arm >/dev/null 2>&1 || true
  # Prints a warning when already enabled; the state file below is what counts.
  update-binfmts --enable qemu-arm >/dev/null 2>&1 || true
  [ "$(head -n1 /proc/sys/fs/binfmt_misc/qemu-arm 2>/dev/null)" = enabled ]
}
if ! binfmt_ready; then
  cat <<'EOF'
##############################################################################
##  SKIPPED: armhf (32-bit ARM, PyPy) tests NOT RUN.                        ##
##  This machine cannot register a binfmt_misc handler for qemu-arm         ##
##  (mounting /proc/sys/fs/binfmt_misc or 'update-binfmts --enable          ##
##  qemu-arm' failed), so armhf programs cannot be executed here.           ##
##  Nothing was built or tested for armhf.                                  ##
##############################################################################
EOF
  exit 0
fi

# --- the armhf root ---------------------------------------------------------
exec 9>"$R.lock"
flock 9

unmount_proc() { if mountpoint -q "$R/proc"; then umount "$R/proc"; fi; }

prepare_root() {
  say "preparing the armhf root in $R (debootstrap first stage, unpacked without emulation)"
  unmount_proc
  mountpoint -q "$R/proc" && die "$R/proc is still mounted"
  rm -rf "$R"
  local tries=0
  until debootstrap --arch=armhf --variant=minbase --foreign --include="$ROOT_PACKAGES" \
          "$SUITE" "$R" >"$R.debootstrap.log" 2>&1; do
    tries=$((tries + 1))
    [ $tries -lt 2 ] || { tail -n 20 "$R.debootstrap.log" >&2; die "debootstrap failed (log: $R.debootstrap.log)"; }
    say "debootstrap failed, retrying once"
    rm -rf "$R"
  done
  for d in "$R"/var/cache/apt/archives/*.deb; do dpkg-deb -x "$d" "$R"; done
  mkdir -p "$R/tmp/debs"
  # apt-get download warns that _apt cannot write here when run as root: harmless.
  if ! (cd "$R/tmp/debs" && apt-get download -qq $PYTEST_DEBS) >/dev/null 2>&1; then
    apt-get update -qq
    (cd "$R/tmp/debs" && apt-get download -qq $PYTEST_DEBS) >/dev/null 2>&1 \
      || die "apt-get download of pytest packages failed"
  fi
  for d in "$R"/tmp/debs/*.deb; do dpkg-deb -x "$d" "$R"; done
  rm -rf "$R/tmp/debs" "$R"/var/cache/apt/archives/*.deb
  echo "$ROOT_KEY" >"$R/.tamrel-root"
}
if [ "$(cat "$R/.tamrel-root" 2>/dev/null)" != "$ROOT_KEY" ]; then
  prepare_root
  lap "armhf root ready"
else
  say "reusing the armhf root in $R"
fi

# binfmt without the F flag resolves the interpreter inside the root.
if ! grep -q '^flags:.*F' /proc/sys/fs/binfmt_misc/qemu-arm; then
  interp=$(sed -n 's/^interpreter //p' /proc/sys/fs/binfmt_misc/qemu-arm)
  install -D "$interp" "$R$interp"
fi

# PyPy's ARM JIT reads /proc and aborts without it.
MOUNTED_PROC=0
cleanup() { if [ $MOUNTED_PROC = 1 ]; then umount "$R/proc" || umount -l "$R/proc"; fi; }
trap cleanup EXIT
trap 'exit 130' INT TERM
if ! mountpoint -q "$R/proc"; then
  mount -t proc proc "$R/proc"
  MOUNTED_PROC=1
fi

# Runs a command inside the root with a clean environment (the worker pool's
# variables pass through).
in_root() {
  local keep=()
  for v in RAYON_NUM_THREADS RAYON_RS_NUM_CPUS; do
    [ -n "${!v:-}" ] && keep+=("$v=${!v}")
  done
  chroot "$R" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    "${keep[@]}" "$@"
}

[ "$(in_root uname -m)" = armv7l ] || die "the root does not run as armv7l under emulation"
EXT_SUFFIX=$(in_root pypy3 -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
PY_INCLUDE=$(in_root pypy3 -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
say "target: $(in_root pypy3 -c 'import platform, sys; print(platform.machine(), platform.python_implementation(), sys.version.split()[0], "pointer", 8 * __import__("struct").calcsize("P"), "bits")'), suffix $EXT_SUFFIX"

# --- cross build ------------------------------------------------------------
B="$R/tamrel/build"
mkdir -p "$R/tamrel"
if [ -f "$B/CMakeCache.txt" ] && ! grep -qx "CMAKE_HOME_DIRECTORY:INTERNAL=$SRC" "$B/CMakeCache.txt"; then
  rm -rf "$B"   # cached build of another checkout
fi
# Until a part of the tree has sources, it is left out rather than failing
# the configure step.
have_sources() { compgen -G "$SRC/$1" >/dev/null; }
BUILD_PY=OFF; have_sources 'src/*.cpp' && BUILD_PY=ON
BUILD_TESTS=OFF; have_sources 'tests/core/*.cpp' && BUILD_TESTS=ON
GEN=(); command -v ninja >/dev/null 2>&1 && GEN=(-G Ninja)
[ -f "$B/CMakeCache.txt" ] && GEN=()

say "cross-building (extension: $BUILD_PY, core tests: $BUILD_TESTS)"
export TAMREL_ARMHF_ROOT="$R"
cmake -S "$SRC" -B "$B" "${GEN[@]}" --log-level=WARNING \
  -DCMAKE_TOOLCHAIN_FILE="$HERE/toolchain-armhf.cmake" \
  -DTAMREL_ARMHF_ROOT="$R" \
  -DCMAKE_BUILD_TYPE=Release \
  -DTAMREL_TESTS=$BUILD_TESTS -DTAMREL_PYTHON=$BUILD_PY -DTAMREL_BENCHMARKS=OFF \
  -DPython_INCLUDE_DIR="$R$PY_INCLUDE" -DPY_EXT_SUFFIX="$EXT_SUFFIX" >"$R/tamrel/configure.log" 2>&1 \
  || { cat "$R/tamrel/configure.log" >&2; die "cmake configure failed"; }
cmake --build "$B" -j "$JOBS" >"$R/tamrel/build.log" 2>&1 \
  || { tail -n 60 "$R/tamrel/build.log" >&2; die "cross build failed (log: $R/tamrel/build.log)"; }
lap "cross build done"

# --- run --------------------------------------------------------------------
PASSED=0; FAILED=0; SKIPPED=0
STATUS=0

if [ $BUILD_TESTS = ON ]; then
  say "C++ core tests (tamrel_core_tests under qemu-arm)"
  set +e
  in_root /tamrel/build/tamrel_core_tests --gtest_brief=1 >"$R/tamrel/core-tests.log" 2>&1
  rc=$?
  set -e
  grep -E '^\[  (FAILED|PASSED|SKIPPED) ' "$R/tamrel/core-tests.log" || true
  n_pass=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) test.*/\1/p' "$R/tamrel/core-tests.log")
  n_fail=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) test.*/\1/p' "$R/tamrel/core-tests.log")
  n_skip=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) test.*/\1/p' "$R/tamrel/core-tests.log")
  n_pass=${n_pass:-0}; n_fail=${n_fail:-0}; n_skip=${n_skip:-0}
  if [ $rc -ne 0 ] && [ "$n_fail" = 0 ]; then
    tail -n 30 "$R/tamrel/core-tests.log" >&2
    n_fail=1   # crashed before its summary
  fi
  lap "core tests done"
  say "core (C++, armhf): $n_pass passed, $n_fail failed, $n_skip skipped"
  PASSED=$((PASSED + n_pass)); FAILED=$((FAILED + n_fail)); SKIPPED=$((SKIPPED + n_skip))
  [ $rc -eq 0 ] || STATUS=1
else
  say "no C++ core tests in tests/core yet"
fi

if [ $BUILD_PY = ON ]; then
  say "Python suite under armhf PyPy (pytest from Debian)"
  W="$R/tamrel/run"
  rm -rf "$W"
  mkdir -p "$W/tests"
  cp "$SRC/pyproject.toml" "$W/"
  cp -r "$SRC/tests/python" "$W/tests/"
  find "$W" -name __pycache__ -prune -exec rm -rf {} +
  set +e
  # The pure-Python package needs pandas and friends, which PyPy on ARM lacks.
  in_root /bin/sh -c 'cd /tamrel/run && PYTHONDONTWRITEBYTECODE=1 \
    PYTHONPATH=/tamrel/build:/usr/lib/python3/dist-packages \
    pypy3 -m pytest -p no:cacheprovider -q -rfEs --ignore-glob="*test_pkg_*" tests/python' \
    >"$R/tamrel/python-tests.log" 2>&1
  rc=$?
  set -e
  summary=$(grep -E '^=+ .*(passed|failed|error|skipped|no tests ran).* in [0-9.]+s' "$R/tamrel/python-tests.log" | tail -n1 || true)
  if [ $rc -ne 0 ]; then tail -n 80 "$R/tamrel/python-tests.log"; fi
  [ -n "$summary" ] || summary=$(tail -n1 "$R/tamrel/python-tests.log")
  count() { printf '%s\n' "$summary" | grep -oE "[0-9]+ $1" | grep -oE '^[0-9]+' || echo 0; }
  p_pass=$(count passed); p_fail=$(( $(count failed) + $(count error) )); p_skip=$(count skipped)
  lap "python suite done"
  say "python (PyPy, armhf): $p_pass passed, $p_fail failed, $p_skip skipped  [$summary]"
  if [ $rc -ne 0 ] && [ $p_fail = 0 ]; then p_fail=1; fi   # e.g. exit 5: no tests ran
  PASSED=$((PASSED + p_pass)); FAILED=$((FAILED + p_fail)); SKIPPED=$((SKIPPED + p_skip))
  [ $rc -eq 0 ] || STATUS=1
else
  say "no extension sources in src/ yet: Python suite not run"
fi

say "done in $(( $(date +%s) - START )) s"
echo "armhf: $PASSED passed, $FAILED failed, $SKIPPED skipped"
exit $STATUS
