"""The type stubs against the compiled module (mypy's stubtest), and mypy in
strict mode on code that uses every public name. mypy comes with the test
extras; without it the tests skip on a developer machine and fail in CI."""

import ast
import inspect
import os
import re
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import morvex
from toolkit import require

TYPING = Path(__file__).resolve().parent / "typing"


def mypy(tmp_path, *args):
    require("mypy")
    env = dict(os.environ)
    # (A preloaded sanitizer runtime stays: stubtest imports the extension.)
    # An editable install imports the package through an import hook, which
    # mypy does not run: it is pointed at the source tree instead. An
    # installed package is found in site-packages, as users' mypy finds it.
    package_root = Path(morvex.__file__).resolve().parent.parent
    installed = {Path(sysconfig.get_paths()[k]).resolve() for k in ("purelib", "platlib")}
    if package_root not in installed:
        env["MYPYPATH"] = str(package_root)
        env["PYTHONPATH"] = os.pathsep.join(p for p in (str(package_root), env.get("PYTHONPATH")) if p)
    # (Run in tmp_path, where mypy also keeps its cache.)
    return subprocess.run([sys.executable, "-m", *args],
                          cwd=tmp_path, env=env, capture_output=True, text=True)


def test_stubs_match_the_module(tmp_path):
    done = mypy(tmp_path, "mypy.stubtest", "morvex")
    assert done.returncode == 0, done.stdout + done.stderr


def test_stubs_carry_the_docstrings():
    # IDEs show the stub's docstring: it must be the module's own.
    stub = ast.parse(Path(morvex._morvex.__file__).with_name("_morvex.pyi").read_text())

    def documented(nodes, runtime):
        for node in nodes:
            if isinstance(node, (ast.FunctionDef, ast.ClassDef)) and node.name != "__init__":
                yield node, getattr(runtime, node.name)

    pairs = list(documented(stub.body, morvex._morvex))
    pairs += [pair for node, cls in pairs if isinstance(node, ast.ClassDef) for pair in documented(node.body, cls)]
    # the functions and classes, the private road of files, and the classes' eight members
    assert len(pairs) == len(morvex._morvex.__all__) - 1 + 1 + 8
    for node, obj in pairs:
        assert ast.get_docstring(node) == inspect.getdoc(obj), node.name


def test_strict_mode_accepts_code_using_every_name(tmp_path):
    usage = (TYPING / "usage.py").read_text()
    for name in morvex.__all__:
        assert name in usage, f"{name} is not used in usage.py"
    done = mypy(tmp_path, "mypy", "--strict", str(TYPING / "usage.py"))
    assert done.returncode == 0, done.stdout + done.stderr
    # The package's own Python code (the command line) is strict too.
    done = mypy(tmp_path, "mypy", "--strict", "-p", "morvex")
    assert done.returncode == 0, done.stdout + done.stderr


def test_strict_mode_rejects_misuse(tmp_path):
    misuse = TYPING / "misuse.py"
    expected = {(i, m.group(1)) for i, line in enumerate(misuse.read_text().splitlines(), 1)
                if (m := re.search(r"# E: (\S+)", line))}
    done = mypy(tmp_path, "mypy", "--strict", "--show-error-codes", str(misuse))
    found = {(int(m.group(1)), m.group(2))
             for m in re.finditer(r"misuse\.py:(\d+): error: .*\[([\w-]+)\]$", done.stdout, re.M)}
    assert found == expected, done.stdout
