#!/usr/bin/env bash
# Builds once and runs every test: the C++ unit tests and the Python tests against the installed
# module (one release build serves both), then the C++ tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer. Everything runs with the checkout's virtual environment (.venv, made
# by scripts/setup.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

# The environment's interpreter builds the module, so that CMake finds it and its development files.
source scripts/venv.sh

echo "== build (release): engine, _kestrune and C++ tests"
"$python" -m pip install -q --disable-pip-version-check --no-build-isolation . \
  --config-settings=build-dir=build/release --config-settings=cmake.define.KESTRUNE_BUILD_TESTS=ON

echo "== C++ tests (release)"
"$venv/bin/ctest" --test-dir build/release --output-on-failure -j "$jobs"

echo "== Python tests"
"$python" -m pytest -q tests/python

echo "== C++ tests (address and undefined-behaviour sanitizers)"
"$venv/bin/cmake" -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DKESTRUNE_BUILD_TESTS=ON -DKESTRUNE_SANITIZE=ON >/dev/null
"$venv/bin/cmake" --build build/sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  "$venv/bin/ctest" --test-dir build/sanitize --output-on-failure -j "$jobs"
