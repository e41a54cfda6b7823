#!/usr/bin/env bash
# Benchmarks kestrune against LightGBM and XGBoost: installs what it needs (the build tools, the
# package itself, LightGBM and XGBoost from PyPI, all into the checkout's virtual environment .venv,
# made by scripts/setup.sh), builds the C++ histogram benchmark and runs bench/run_bench.py with the
# arguments given here (for example --quick, or --output FILE), then the SHAP throughput lines
# (against XGBoost, and the shap package's TreeExplainer when it installs).
set -euo pipefail
cd "$(dirname "$0")/.."

# The environment's interpreter runs the benchmarks: each library's process is started with it, and
# the peers are installed with it.
source scripts/venv.sh
"$python" -m pip install -q --disable-pip-version-check --no-build-isolation . \
  --config-settings=build-dir=build/release

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
"$venv/bin/cmake" -S . -B build/bench "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_BUILD_BENCH=ON >/dev/null
"$venv/bin/cmake" --build build/bench --target kestrune_histogram_bench -j "$(nproc)" >/dev/null

"$python" bench/run_bench.py --build-dir build/bench "$@"

echo
echo "== SHAP values and interactions (100-tree depth-6 models, a 500-tree 255-leaf model)"
"$python" -m pip install -q --disable-pip-version-check shap || echo "shap did not install: its lines are skipped"
"$python" bench/shap_bench.py
