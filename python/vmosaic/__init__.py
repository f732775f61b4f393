"""vmosaic: the panoramic mosaic of a video taken by a moving camera.

    import vmosaic
    result = vmosaic.mosaic("pan.mp4", overlap=80)
    result.mean                    # HxWx3 uint8 array (BGR), as pano_Mean.png
    result.key_frames[0]["frame_to_canvas"]   # 3x3 homography onto result.mean

The work runs with the interpreter released, so other Python threads run
meanwhile (two mosaics in two threads run at the same time). Ctrl-C stops a
run with KeyboardInterrupt; it is noticed after each frame.
"""

import json as _json
import os as _os
import numbers as _numbers

from . import _vmosaic

__all__ = ["mosaic", "Result", "main", "__version__"]
__version__ = _vmosaic.__version__

# Library failure codes (vmosaic::Failure) and the exception each becomes.
_INPUT_NOT_FOUND = 2


class Result:
    """What a run gives.

    mean, median, blend: HxWx3 uint8 NumPy arrays (BGR), the same pixels as
        pano_Mean.png, pano_Median.png and pano_Blend.png; None where not
        asked for (median, blend) or not composed.
    key_frames: one dict per key frame, in the order of their ids: "id" (its
        node in the frame tree), "frame" (its frame number, from 0) and
        "frame_to_canvas" (3x3 float array mapping its pixels onto pixels of
        mean; None for a key frame left out of the mosaic).
    report: the run's report as a dict, the same content as --json writes.
    written: the paths of the files written (with output_dir or json).
    messages: the text the command line prints on standard output.
    notes: the notes the command line prints on standard error, one a line.
    """

    __slots__ = ("mean", "median", "blend", "key_frames", "report", "written", "messages", "notes")

    def __init__(self, parts):
        for name in self.__slots__:
            setattr(self, name, parts[name])

    def __repr__(self):
        size = "no mosaic" if self.mean is None else "%dx%d" % (self.mean.shape[1], self.mean.shape[0])
        return "<vmosaic.Result %s, %d key frames>" % (size, len(self.key_frames))


def _whole(name, value, minimum=None):
    if isinstance(value, bool) or not isinstance(value, _numbers.Integral):
        raise ValueError("%s must be a whole number, not %r" % (name, value))
    if minimum is not None and value < minimum:
        raise ValueError("%s must be at least %d, not %d" % (name, minimum, value))
    return int(value)


def _scale(name, value):
    if isinstance(value, bool) or not isinstance(value, _numbers.Real) or not 0 < value <= 1:
        raise ValueError("%s must be a number above 0 and at most 1, not %r" % (name, value))
    return float(value)


def mosaic(source, overlap=100, features=0, median=False, frame_limit=0, refine=False,
           blend=False, memory_budget_mb=None, progress=None, *, keep_going=False,
           output_dir=None, json=None, work_scale=1.0):
    """Composes the mosaic of a video; returns a Result.

    source: a video file or an image sequence pattern ("frames/img_%04d.png"),
        as a str or path-like; or an iterable of HxWx3 uint8 NumPy arrays (BGR,
        all of one size), read one by one as the run goes.
    overlap: overlap threshold in percent, a whole number; a frame
        overlapping the last key frame by this or less becomes a key frame
        (100: every frame).
    features: 0 for corners tracked by optical flow, 1 for SIFT.
    median: also compose the median mosaic. blend: also the blended mosaic.
    frame_limit: above 0, stop after that many frames.
    refine: align the key frames on their pixels before composing.
    memory_budget_mb: MiB for the key frames' pixels (None: the default);
        beyond it they go to an unnamed temporary file.
    progress: called as progress(frame_number) after each frame is read, with
        its number from 0, on the calling thread. An exception it raises
        stops the run and is raised by mosaic.
    keep_going: skip frames that cannot be registered instead of ending the
        input there (further mosaics are in report["segments"]).
    output_dir: when given, the files the command line writes (pano_Mean.png
        and so on) are written there, with the same names and bytes.
    json: when given, a path where the report is written as with --json.
    work_scale: above 0 and at most 1; below 1, the frames are registered
        scaled down by it and composed at full resolution (faster on large
        frames; the key frames' homographies stay in full-resolution pixels).

    Raises FileNotFoundError when the input cannot be opened, ValueError for
    a bad setting or frame (and for a json path that would overwrite the
    input or a result), KeyboardInterrupt on Ctrl-C, RuntimeError when
    nothing could be composed or a result could not be written.
    """
    settings = {
        "overlap": _whole("overlap", overlap),
        "features": _whole("features", features),
        "median": 1 if median else 0,
        "frame_limit": _whole("frame_limit", frame_limit, 0),
        "refine": bool(refine),
        "blend": bool(blend),
        "keep_going": bool(keep_going),
        "memory_budget_mb": -1 if memory_budget_mb is None
        else _whole("memory_budget_mb", memory_budget_mb, 0),
        "output_dir": "" if output_dir is None else _os.fsdecode(output_dir),
        "write_images": output_dir is not None,
        "json": "" if json is None else _os.fsdecode(json),
        "work_scale": _scale("work_scale", work_scale),
    }
    if settings["features"] not in (0, 1):
        raise ValueError("features must be 0 (optical flow) or 1 (SIFT), not %d" % features)
    if output_dir is not None and not settings["output_dir"]:
        raise ValueError("output_dir must not be empty")
    if progress is not None and not callable(progress):
        raise ValueError("progress must be callable")
    if isinstance(source, (str, bytes, _os.PathLike)):
        source = _os.fsdecode(source)
        settings["input"] = source
    elif hasattr(source, "__iter__"):
        settings["input"] = ""
    else:
        raise ValueError("source must be a path or an iterable of frames, not %r" % (source,))
    settings["arguments"] = [settings["input"], str(settings["overlap"]),
                             str(settings["features"]), str(settings["median"])]
    if settings["frame_limit"] > 0:
        settings["arguments"].append(str(settings["frame_limit"]))
    parts = _vmosaic.run(source, settings, progress)
    if parts["status"] != 0:
        message = parts["message"] or "the run failed"
        if parts["failure"] == _INPUT_NOT_FOUND:
            raise FileNotFoundError(message)
        if parts["status"] == 2:
            raise ValueError(message)
        raise RuntimeError(message)
    parts["report"] = _json.loads(parts["report"])
    return Result(parts)


def main(argv=None):
    """Runs the command line (python3 -m vmosaic); returns its exit status."""
    import sys
    args = list(sys.argv[1:] if argv is None else argv)
    sys.stdout.flush()
    sys.stderr.flush()
    return _vmosaic.run_command_line(["vmosaic"] + args)
