"""The module's dynamic symbol table: only the init function is visible to other objects."""

import shutil
import subprocess
from pathlib import Path

import pytest

import _kestrune


def test_module_exports_its_init_function_alone():
    path = Path(_kestrune.__file__)
    with path.open("rb") as module:
        if module.read(4) != b"\x7fELF":
            pytest.skip("the module is not an ELF shared object")
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    listing = subprocess.run([nm, "-D", "--defined-only", str(path)], capture_output=True, text=True, check=True)
    exported = [line.split()[-1] for line in listing.stdout.splitlines() if line.strip()]
    # A symbol of the engine left visible here could bind to, or be bound by, another extension
    # that carries a symbol of the same name.
    assert exported == ["PyInit__kestrune"], f"{len(exported)} symbols exported, first: {exported[:5]}"
