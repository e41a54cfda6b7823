#!/usr/bin/env bash
# Installs everything the build and the tests need, on a fresh machine or an already set-up one:
# the compiler, GoogleTest, and what the system's Python lacks to make a virtual environment and to
# build and embed against it (Debian and Ubuntu packages); then the checkout's own virtual
# environment, .venv, with the Python build and test tools. Debian and Ubuntu mark their Python as
# externally managed, so nothing is installed into it: the other scripts run everything with the
# virtual environment's interpreter and tools.
set -euo pipefail
cd "$(dirname "$0")/.."

# python3-venv brings ensurepip for the system's Python (venv cannot put pip into the environment
# without it); python3-dev brings the headers and the embedding library the module and the binding
# tests build against.
apt_packages=(g++ libgtest-dev python3-venv python3-dev)
missing=()
for package in "${apt_packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi

# Made once, and again only when it no longer works: a run before python3-venv was installed
# leaves an environment without pip, and one whose base interpreter was removed cannot start.
venv=.venv
if ! "$venv/bin/python" -m pip --version >/dev/null 2>&1; then
  rm -rf "$venv"
  python3 -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --disable-pip-version-check \
  "scikit-build-core>=0.10" "cmake>=3.26" ninja "numpy>=1.24" "pytest>=7"
