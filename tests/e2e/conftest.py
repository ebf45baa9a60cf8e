"""pytest setup of the e2e suite: the harness importable, a fresh directory per test."""
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))


@pytest.fixture
def tmp(tmp_path):
    """A fresh directory for one test's program, weights and model files."""
    return tmp_path
