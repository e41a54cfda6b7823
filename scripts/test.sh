#!/usr/bin/env bash
# Builds once and runs every test: the C++ unit tests and the Python tests against the installed
# module (one release build serves both), then the C++ tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

scripts/setup.sh

echo "== build (release): engine, _kestrune and C++ tests"
python3 -m pip install -q --disable-pip-version-check --no-build-isolation . \
  -Cbuild-dir=build/release -Ccmake.define.KESTRUNE_BUILD_TESTS=ON

echo "== C++ tests (release)"
ctest --test-dir build/release --output-on-failure -j "$jobs"

echo "== Python tests"
python3 -m pytest -q tests/python

echo "== C++ tests (address and undefined-behaviour sanitizers)"
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DKESTRUNE_BUILD_TESTS=ON -DKESTRUNE_SANITIZE=ON >/dev/null
cmake --build build/sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/sanitize --output-on-failure -j "$jobs"
