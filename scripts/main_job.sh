#!/usr/bin/env bash
# Installs the package into the checkout's virtual environment (.venv, made by scripts/setup.sh)
# and runs the quickstart (which reads scikit-learn's bundled data sets).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
# The environment's own interpreter, named by its path, whatever python3 comes first on PATH; its
# cmake and ninja come first for the build.
venv="$PWD/.venv"
export VIRTUAL_ENV="$venv" PATH="$venv/bin:$PATH"
python="$venv/bin/python"

"$python" -m pip install -q --disable-pip-version-check scikit-learn
"$python" -m pip install -q --disable-pip-version-check --no-build-isolation . \
  --config-settings=build-dir=build/release
"$python" examples/quickstart.py
