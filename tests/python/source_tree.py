"""The checkout these tests came from, for the few that need more of it than the
installed package (the examples, the changelog). Run from a copy of tests/python
alone, as against an installed wheel, those tests skip and say why."""

from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


def require(relative):
    """ROOT / `relative`, or a skip of the calling test (or, at import, of its
    whole module) when that is not there."""
    path = ROOT / relative
    if not path.exists():
        pytest.skip(f"needs {relative} from the source tree, which is not beside this copy of the tests",
                    allow_module_level=True)
    return path
