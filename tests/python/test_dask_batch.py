"""The batch example: three videos on a LocalCluster on the loopback
interface, plus one that is missing, which must cost only its own row."""

import json
import os
import re
import shutil
import subprocess
import sys

import pytest

pytest.importorskip("distributed")

EXAMPLE = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "dask_batch.py")


def test_each_video_gets_its_folder_and_a_bad_one_its_row(pan_video, tmp_path):
    videos = []
    for folder in ("a", "b", "b/again"):  # two videos share a name
        os.makedirs(tmp_path / folder, exist_ok=True)
        videos.append(str(tmp_path / folder / os.path.basename(pan_video)))
        shutil.copyfile(str(pan_video), videos[-1])
    missing = str(tmp_path / "absent.mkv")
    out = tmp_path / "out"

    run = subprocess.run(
        [sys.executable, EXAMPLE, *videos, missing, "--local", "--workers", "2",
         "--output-dir", str(out), "--overlap", "70"],
        capture_output=True, text=True, timeout=600)

    assert run.returncode == 1, run.stderr  # one video failed
    header, *rows = [re.split(r"\s{2,}", line) for line in run.stdout.splitlines()]
    assert header[:2] == ["video", "status"]
    assert [row[0] for row in rows] == videos + [missing]  # the order given
    assert [row[1] for row in rows[:3]] == ["ok"] * 3
    assert rows[3][1].startswith("failed: FileNotFoundError")
    means = []
    for row, name in zip(rows, ("pan", "pan-2", "pan-3")):
        folder = out / name
        assert row[-1] == str(folder)
        report = json.loads((folder / "report.json").read_text())
        assert len(report["key_frames"]) == int(row[2]) > 1
        means.append((folder / "pano_Mean.png").read_bytes())
    # The same video on different workers gives the same bytes.
    assert means[0] == means[1] == means[2]
    assert not (out / "absent").exists()
