import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

from builders import RawImage


@pytest.fixture
def write_raw(tmp_path):
    """Writes a RawImage under tmp_path/<name> (directories created) and returns the path."""

    def write(img: RawImage, name: str = "plain.raw") -> str:
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        return img.write(path)

    return write
