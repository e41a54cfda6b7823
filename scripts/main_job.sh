#!/usr/bin/env bash
# Installs the package into the checkout's virtual environment (.venv, made by scripts/setup.sh)
# and runs the quickstart (which reads scikit-learn's bundled data sets).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh
"$python" -m pip install -q --disable-pip-version-check scikit-learn
"$python" -m pip install -q --disable-pip-version-check --no-build-isolation . \
  --config-settings=build-dir=build/release
"$python" examples/quickstart.py
