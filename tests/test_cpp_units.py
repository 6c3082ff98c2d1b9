"""Runs the C++ unit tests of the core.

With MORVEX_CPP_TESTS naming a built test binary (CI builds the tests once
with CMake and runs them with ctest, then points here), that binary is run.
Otherwise the tests are built with CMake first. Without CMake or GoogleTest the test is skipped on a developer machine and
fails in CI (CI=true), where a missing tool must not pass silently. With
MORVEX_SANITIZE=1 the core and the tests are built with AddressSanitizer and
UndefinedBehaviorSanitizer.
"""

import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
IN_CI = os.environ.get("CI", "").lower() in ("1", "true", "yes")
SANITIZE = os.environ.get("MORVEX_SANITIZE", "").lower() in ("1", "on", "true", "yes")


def unavailable(reason: str):
    if IN_CI:
        pytest.fail(f"{reason} (required in CI)")
    pytest.skip(reason)


def tool_env() -> dict:
    # A sanitizer runtime preloaded into the interpreter has no business in
    # CMake and the compiler; the sanitized test binary links its own.
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    return env


def run(cmd, **kw) -> subprocess.CompletedProcess:
    return subprocess.run(cmd, cwd=ROOT, capture_output=True, text=True, **kw)


@pytest.fixture(scope="session")
def unit_test_binary(tmp_path_factory):
    prebuilt = os.environ.get("MORVEX_CPP_TESTS")
    if prebuilt:
        if not os.access(prebuilt, os.X_OK):
            pytest.fail(f"MORVEX_CPP_TESTS={prebuilt} is not an executable")
        return Path(prebuilt)
    cmake = shutil.which("cmake")
    if cmake is None:
        unavailable("cmake not found")
    build = tmp_path_factory.mktemp("cpp-build")
    configure = [cmake, "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                 "-DMORVEX_BUILD_EXTENSION=OFF", "-DMORVEX_BUILD_TESTS=ON",
                 f"-DMORVEX_SANITIZE={'ON' if SANITIZE else 'OFF'}"]
    if shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    done = run(configure, env=tool_env())
    if done.returncode != 0:
        if "GTest" in done.stdout + done.stderr:
            unavailable("GoogleTest not found (apt-get install libgtest-dev)")
        pytest.fail(f"CMake configure failed:\n{done.stdout}\n{done.stderr}")
    done = run([cmake, "--build", str(build), "--target", "morvex_core_tests"], env=tool_env())
    if done.returncode != 0:
        pytest.fail(f"C++ build failed:\n{done.stdout[-20000:]}\n{done.stderr[-5000:]}")
    return build / "morvex_core_tests"


def test_cpp_unit_tests_pass(unit_test_binary):
    env = tool_env()
    # Unlike the interpreter (whose own allocations the leak checker would
    # report), the C++ tests must not leak.
    env["ASAN_OPTIONS"] = "detect_leaks=1"
    env.setdefault("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1")
    done = subprocess.run([str(unit_test_binary), "--gtest_color=no"], capture_output=True, text=True, env=env)
    output = done.stdout + done.stderr
    failed = re.findall(r"^\[  FAILED  \] (\S+)", output, re.M)
    assert done.returncode == 0 and not failed, f"C++ tests failed: {sorted(set(failed))}\n{output[-20000:]}"
    passed = re.search(r"^\[  PASSED  \] (\d+) tests?", output, re.M)
    assert passed and int(passed.group(1)) > 0, output[-5000:]
