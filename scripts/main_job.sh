#!/usr/bin/env bash
# Installs the package and runs the quickstart (which reads scikit-learn's bundled data sets).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
python3 -m pip install -q --disable-pip-version-check scikit-learn
python3 -m pip install -q --disable-pip-version-check --no-build-isolation . -Cbuild-dir=build/release
python3 examples/quickstart.py
