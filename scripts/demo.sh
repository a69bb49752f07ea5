#!/usr/bin/env bash
# Sets up a fresh machine and runs the main job: a search of the bundled
# demo dataset, writing its table and report under out/demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh cpython
if .venv/bin/python -c "import vornik_tamrel.cli" 2>/dev/null; then
    .venv/bin/vornik-tamrel demo -o out/demo "$@"
else
    .venv/bin/python - <<'PY'
import _vornik_tamrel as m
print(m.hello_py())
print(m.PyTolerance.Ppm(-10.0, 10.0))
PY
fi
