"""Shared test setup: the toolkit package is importable as `toolkit`."""

import sys
from pathlib import Path

import pytest

TESTS = Path(__file__).resolve().parent
if str(TESTS) not in sys.path:
    sys.path.insert(0, str(TESTS))

from toolkit import FIXTURES  # noqa: E402


@pytest.fixture
def fixture_path():
    """fixture_path(name) -> path of a committed fixture under tests/fixtures."""
    return lambda name: FIXTURES / name


@pytest.fixture
def fixture_bytes():
    """fixture_bytes(name) -> the content of a committed fixture."""
    return lambda name: (FIXTURES / name).read_bytes()
