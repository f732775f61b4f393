"""The Python module against the command line on a rendered pan."""

import json
import os
import signal
import sys
import threading
import time

import numpy as np
import pytest

import vmosaic
from conftest import BINARY, PAN_FRAMES, read_bgr, run_cli, sequence_frames, without_times

CASES = {
    "mean and median": (["100", "0", "1"], dict(median=True)),
    "overlap 80 with blend": (["--blend", "80", "0", "0"], dict(overlap=80, blend=True)),
    "work scale 0.5": (["--work-scale", "0.5", "80", "0", "0"], dict(overlap=80, work_scale=0.5)),
}


def comparable(report):
    """A report without what differs between two runs: times and folders."""
    report = dict(report)
    for key in ("timings", "outputs", "input"):
        report.pop(key)
    return report


@pytest.mark.parametrize("case", CASES)
def test_same_bytes_as_the_command_line(case, pan_video, tmp_path):
    cli_args, keywords = CASES[case]
    (tmp_path / "cli").mkdir()
    cli = run_cli([BINARY, "--output-dir", "out", "--json", "report.json"]
                  + cli_args[:-3] + [pan_video] + cli_args[-3:], tmp_path / "cli")
    assert cli.returncode == 0, cli.stderr
    out = tmp_path / "module"
    result = vmosaic.mosaic(pan_video, output_dir=out, json=tmp_path / "report.json", **keywords)
    names = sorted(os.listdir(tmp_path / "cli" / "out"))
    assert names == sorted(os.listdir(out))
    for name in names:
        assert (out / name).read_bytes() == (tmp_path / "cli" / "out" / name).read_bytes(), name
        kind = name[len("pano_"):-len(".png")].lower()
        assert np.array_equal(getattr(result, kind), read_bgr(out / name)), name
    assert result.median is None if "median" not in keywords else result.median is not None
    assert result.blend is None if "blend" not in keywords else result.blend is not None
    cli_report = json.loads((tmp_path / "cli" / "report.json").read_text())
    assert comparable(result.report) == comparable(cli_report)
    assert result.report == json.loads((tmp_path / "report.json").read_text())
    assert [k["frame"] for k in result.key_frames] == [k["frame"] for k in cli_report["key_frames"]]
    for mine, theirs in zip(result.key_frames, cli_report["key_frames"]):
        assert mine["id"] == theirs["id"]
        np.testing.assert_array_equal(mine["frame_to_canvas"], np.array(theirs["frame_to_canvas"]))
    assert without_times(result.messages) == without_times(cli.stdout)


def test_frames_from_an_iterator_give_the_mosaic_of_the_file(pan_video, pan_sequence):
    seen = []
    from_frames = vmosaic.mosaic(sequence_frames(pan_sequence), overlap=90, progress=seen.append)
    assert seen == list(range(PAN_FRAMES))
    from_file = vmosaic.mosaic(pan_video, overlap=90)
    assert from_frames.mean.shape[0] > 240 or from_frames.mean.shape[1] > 320
    assert np.array_equal(from_frames.mean, from_file.mean)
    assert from_frames.report["frames_read"] == PAN_FRAMES
    assert from_frames.report["key_frames"] == from_file.report["key_frames"]


def test_a_frame_of_another_size_ends_the_input_with_a_note(pan_sequence):
    frames = list(sequence_frames(pan_sequence))[:10] + [np.zeros((120, 160, 3), np.uint8)]
    result = vmosaic.mosaic(iter(frames))
    assert result.report["frames_read"] == 10
    assert result.report["stopped_early"]["reason"] == "frame size changed from 320x240 to 160x120"
    assert result.notes == ["vmosaic: frame size changed from 320x240 to 160x120; input ends here\n"]


class Refused(Exception):
    pass


def refuse(frame):
    raise Refused(frame)


def frames_then(last):
    yield np.zeros((240, 320, 3), np.uint8)
    yield last


ERRORS = {
    "missing input": (FileNotFoundError, lambda d: vmosaic.mosaic(str(d / "missing.mp4"))),
    "features 2": (ValueError, lambda d: vmosaic.mosaic("x.mp4", features=2)),
    "overlap as text": (ValueError, lambda d: vmosaic.mosaic("x.mp4", overlap="80")),
    "negative budget": (ValueError, lambda d: vmosaic.mosaic("x.mp4", memory_budget_mb=-1)),
    "frames scaled under 16 px": (ValueError, lambda d: vmosaic.mosaic(d / "pan.mkv", work_scale=0.05)),
    "not a source": (ValueError, lambda d: vmosaic.mosaic(42)),
    "float frame": (ValueError, lambda d: vmosaic.mosaic(frames_then(np.zeros((240, 320, 3))))),
    "grey frame": (ValueError, lambda d: vmosaic.mosaic(frames_then(np.zeros((240, 320), np.uint8)))),
    "one frame": (RuntimeError, lambda d: vmosaic.mosaic([np.zeros((240, 320, 3), np.uint8)])),
    "report over the input": (ValueError, lambda d: vmosaic.mosaic(d / "pan.mkv", json=d / "pan.mkv")),
    "progress raises": (Refused, lambda d: vmosaic.mosaic(d / "pan.mkv", progress=refuse)),
}


@pytest.mark.parametrize("case", ERRORS)
def test_errors_become_exceptions(case, pan_video, tmp_path):
    expected, call = ERRORS[case]
    os.symlink(pan_video, tmp_path / "pan.mkv")
    with pytest.raises(expected):
        call(tmp_path)
    assert os.listdir(tmp_path) == ["pan.mkv"]  # nothing written


def test_two_threads_run_two_mosaics_at_once(pan_video):
    ticks, results = [], {}

    def work(name):
        progress = lambda frame: ticks.append((time.monotonic(), name))
        results[name] = vmosaic.mosaic(pan_video, progress=progress)

    # Python code never gives the interpreter up by itself now, so the other
    # thread runs only while a run has released it.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    try:
        threads = [threading.Thread(target=work, args=(name,)) for name in "ab"]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    order = [name for _, name in sorted(ticks)]
    assert sorted(order) == ["a"] * PAN_FRAMES + ["b"] * PAN_FRAMES
    changes = sum(1 for x, y in zip(order, order[1:]) if x != y)
    assert changes > 2, order
    assert np.array_equal(results["a"].mean, results["b"].mean)


def test_ctrl_c_raises_keyboard_interrupt(pan_sequence):
    main = threading.main_thread().ident
    seen = []

    def frames():
        for index, frame in enumerate(sequence_frames(pan_sequence)):
            if index == 5:
                signal.pthread_kill(main, signal.SIGINT)
            yield frame

    with pytest.raises(KeyboardInterrupt):
        vmosaic.mosaic(frames(), progress=seen.append)
    assert 0 < len(seen) < PAN_FRAMES


COMMAND_LINES = {
    "version": ["--version"],
    "missing input": ["missing.mp4"],
    "malformed option": ["--json"],
    "a run": ["--json", "r.json", "PAN", "90", "0", "1"],
}


@pytest.mark.parametrize("case", COMMAND_LINES)
def test_python_m_vmosaic_is_the_command_line(case, pan_video, tmp_path):
    args = [pan_video if a == "PAN" else a for a in COMMAND_LINES[case]]
    runs = {}
    for name, command in (("cli", [BINARY]), ("module", [sys.executable, "-m", "vmosaic"])):
        (tmp_path / name).mkdir()
        runs[name] = run_cli(command + args, tmp_path / name)
    assert runs["module"].returncode == runs["cli"].returncode
    assert without_times(runs["module"].stdout) == without_times(runs["cli"].stdout)
    assert without_times(runs["module"].stderr) == without_times(runs["cli"].stderr)
    assert sorted(os.listdir(tmp_path / "module")) == sorted(os.listdir(tmp_path / "cli"))
    for name in os.listdir(tmp_path / "cli"):
        if name.endswith(".png"):
            assert (tmp_path / "module" / name).read_bytes() == (tmp_path / "cli" / name).read_bytes()
