# Sourced by the scripts that build, test or benchmark, from the checkout's root: installs what is
# missing (scripts/setup.sh), then lets the rest run in the checkout's virtual environment.
# `$python` is its interpreter, named by its path whatever python3 comes first on PATH; its bin
# folder comes first on PATH too, so that its cmake, ctest and ninja build and run the C++ parts
# and the binding tests' embedded interpreter finds its packages (numpy) through the python3 it
# finds there.
scripts/setup.sh
venv="$PWD/.venv"
export VIRTUAL_ENV="$venv" PATH="$venv/bin:$PATH"
python="$venv/bin/python"
