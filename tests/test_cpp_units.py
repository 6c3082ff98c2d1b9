"""Runs the C++ unit tests of the core.

With MORVEX_CPP_TESTS naming a built test binary (CI builds the tests once
with CMake and runs them with ctest, then points here), that binary is run.
Otherwise the tests are built with CMake first: in the build that `pip
install .` left in the source tree (scikit-build-core's build-dir), whose
core libraries they reuse, or else in a build of their own. Without CMake or
GoogleTest the test is skipped on a developer machine and fails in CI
(CI=true), where a missing tool must not pass silently. With
MORVEX_SANITIZE=1 the core and the tests are built with AddressSanitizer and
UndefinedBehaviorSanitizer.
"""

import json
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


def pip_build() -> Path | None:
    """The CMake build of `pip install .` in this source tree, when it was
    made with the sanitizers as asked (MORVEX_SANITIZE)."""
    for info_file in sorted(ROOT.glob("build/*/.skbuild-info.json")):
        try:
            info = json.loads(info_file.read_text())
            cache = (info_file.parent / "CMakeCache.txt").read_text(errors="replace")
        except (OSError, ValueError):
            continue
        if not isinstance(info, dict) or Path(info.get("source_dir", "")) != ROOT:
            continue
        sanitized = re.search(r"^MORVEX_SANITIZE:BOOL=(ON|TRUE|1)$", cache, re.M | re.I) is not None
        if sanitized == SANITIZE:
            return info_file.parent
    return None


def configure(cmake: str, build: Path, *options: str) -> subprocess.CompletedProcess:
    command = [cmake, "-S", str(ROOT), "-B", str(build), "-DMORVEX_BUILD_TESTS=ON", *options]
    ninja = shutil.which("ninja")
    if ninja:
        # A build made in pip's isolated environment names a Ninja that
        # went with it.
        command.append(f"-DCMAKE_MAKE_PROGRAM={ninja}")
    return run(command, env=tool_env())


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
    build = pip_build()
    done = configure(cmake, build) if build is not None else None
    if done is None or (done.returncode != 0 and "GTest" not in done.stdout + done.stderr):
        build = tmp_path_factory.mktemp("cpp-build")
        options = ["-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DMORVEX_BUILD_EXTENSION=OFF",
                   f"-DMORVEX_SANITIZE={'ON' if SANITIZE else 'OFF'}"]
        if shutil.which("ninja"):
            options += ["-G", "Ninja"]
        done = configure(cmake, build, *options)
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
