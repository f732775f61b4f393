"""Shared support of the Python tests: the programs under test, a rendered
pan (as a lossless video and as the same frames in a PNG sequence), and runs
of the command line in folders of their own."""

import os
import re
import subprocess

import numpy as np
import pytest
from PIL import Image

BINARY = os.environ["VMOSAIC_BINARY"]
RENDER = os.environ["VMOSAIC_RENDER"]

# 30 frames of 320x240 panning 20 photo pixels a frame over the lake photo.
PAN = ["lake_boats_2560x1600.jpg", "320", "240", "30", "900", "800", "1480", "860"]
PAN_FRAMES = 30


def render(path):
    subprocess.run([RENDER, str(path)] + PAN, check=True)
    return str(path)


@pytest.fixture(scope="session")
def pan_video(tmp_path_factory):
    """Path of a lossless video of the pan."""
    return render(tmp_path_factory.mktemp("pan_video") / "pan.mkv")


@pytest.fixture(scope="session")
def pan_sequence(tmp_path_factory):
    """Printf-style pattern of the pan's frames as PNG files (pan_000.png, ...)."""
    return render(tmp_path_factory.mktemp("pan_sequence") / "pan_%03d.png")


def read_bgr(path):
    """An 8-bit image file as an HxWx3 BGR array, as vmosaic hands them out."""
    return np.ascontiguousarray(np.asarray(Image.open(path).convert("RGB"))[:, :, ::-1])


def sequence_frames(pattern):
    """The frames of a sequence pattern, read one by one."""
    index = 0
    while os.path.exists(pattern % index):
        yield read_bgr(pattern % index)
        index += 1


def run_cli(command, cwd):
    """Runs command (a list) in cwd; the completed process with text output."""
    return subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=600)


def without_times(text):
    """The program's output with its measured seconds blanked."""
    return re.sub(r"[0-9]+\.[0-9]{6} seconds", "T seconds", text)
