#!/usr/bin/env python3
"""Mosaic many videos on a Dask cluster, one video per task.

    dask_batch.py VIDEO... (--scheduler ADDRESS | --local) --output-dir DIR [options]

Each video's results (the mosaics and a JSON report, "report.json") go to a
folder of its own under DIR, named after the video. One video stays
sequential: the scale-out is whole videos side by side, on the workers of an
existing scheduler (--scheduler tcp://host:8786) or of a cluster started on
this machine (--local). A summary table goes to standard output; the exit
status is 1 when any video failed (the others are still written), 2 for a
malformed command line.
"""

import argparse
import os
import sys
import time

REPORT_NAME = "report.json"


def mosaic_one(video, folder, options):
    """One task: mosaic `video` into `folder`. Never raises, so that a bad
    video is a row of the summary rather than the end of the batch."""
    started = time.monotonic()
    row = {"video": video, "folder": folder, "status": "ok", "key_frames": 0,
           "canvas": "", "seconds": 0.0}
    try:
        import vmosaic  # imported on the worker, which may be another machine

        # The folder is created once the video has opened: a video that
        # cannot be read leaves none behind.
        result = vmosaic.mosaic(video, output_dir=folder,
                                json=os.path.join(folder, REPORT_NAME), **options)
        row["key_frames"] = len(result.key_frames)
        canvas = result.report.get("canvas")
        if canvas:
            row["canvas"] = "%dx%d" % (canvas["width"], canvas["height"])
    except Exception as error:  # noqa: BLE001 - every failure becomes a row
        row["status"] = "failed: %s: %s" % (type(error).__name__, error)
        row["folder"] = "-"
    row["seconds"] = round(time.monotonic() - started, 1)
    return row


def output_folders(videos, output_dir):
    """One folder per video, named after it; a name used twice gets -2, -3..."""
    used = {}
    folders = []
    for video in videos:
        stem = os.path.splitext(os.path.basename(video.rstrip("/")))[0] or "video"
        used[stem] = used.get(stem, 0) + 1
        name = stem if used[stem] == 1 else "%s-%d" % (stem, used[stem])
        folders.append(os.path.join(output_dir, name))
    return folders


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("videos", nargs="+", metavar="VIDEO")
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="address of a running Dask scheduler")
    where.add_argument("--local", action="store_true",
                       help="start a LocalCluster on this machine")
    parser.add_argument("--output-dir", required=True, metavar="DIR")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                        help="workers of the --local cluster (default: the cores)")
    parser.add_argument("--host", default="127.0.0.1",
                        help="interface the --local cluster listens on")
    parser.add_argument("--overlap", type=int, default=100)
    parser.add_argument("--features", type=int, default=0)
    parser.add_argument("--median", action="store_true")
    parser.add_argument("--frame-limit", type=int, default=0)
    parser.add_argument("--refine", action="store_true")
    parser.add_argument("--blend", action="store_true")
    parser.add_argument("--keep-going", action="store_true")
    parser.add_argument("--memory-budget", type=int, default=None, metavar="MB")
    arguments = parser.parse_args(argv)
    if arguments.workers < 1:
        parser.error("--workers must be at least 1")
    return arguments


def mosaic_options(arguments):
    return {"overlap": arguments.overlap, "features": arguments.features,
            "median": arguments.median, "frame_limit": arguments.frame_limit,
            "refine": arguments.refine, "blend": arguments.blend,
            "keep_going": arguments.keep_going,
            "memory_budget_mb": arguments.memory_budget}


def print_summary(rows, out=sys.stdout):
    header = ("video", "status", "key frames", "canvas", "seconds", "folder")
    table = [header] + [(r["video"], r["status"], str(r["key_frames"]), r["canvas"],
                         "%.1f" % r["seconds"], r["folder"]) for r in rows]
    widths = [max(len(line[i]) for line in table) for i in range(len(header))]
    for line in table:
        out.write("  ".join(cell.ljust(w) for cell, w in zip(line, widths)).rstrip() + "\n")


def run_batch(client, videos, folders, options):
    """Submits one task per video and returns the rows in the videos' order."""
    from distributed import as_completed

    futures = [client.submit(mosaic_one, video, folder, options, pure=False)
               for video, folder in zip(videos, folders)]
    index = {future.key: i for i, future in enumerate(futures)}
    rows = [None] * len(futures)
    for future in as_completed(futures):
        i = index[future.key]
        try:
            rows[i] = future.result()
        except Exception as error:  # noqa: BLE001 - a lost worker, for one
            rows[i] = {"video": videos[i], "folder": "-", "key_frames": 0,
                       "canvas": "", "seconds": 0.0,
                       "status": "failed: %s: %s" % (type(error).__name__, error)}
        print("done: %s (%s)" % (videos[i], rows[i]["status"]), file=sys.stderr)
    return rows


def main(argv=None):
    arguments = parse_arguments(sys.argv[1:] if argv is None else argv)
    from distributed import Client, LocalCluster

    videos = [os.path.abspath(v) for v in arguments.videos]
    folders = output_folders(videos, os.path.abspath(arguments.output_dir))
    options = mosaic_options(arguments)
    if arguments.local:
        # One thread per worker: a mosaic is sequential, and OpenCV already
        # uses the cores in its parallel sections.
        cluster = LocalCluster(n_workers=arguments.workers, threads_per_worker=1,
                               host=arguments.host, dashboard_address=None)
        client = Client(cluster)
    else:
        cluster = None
        client = Client(arguments.scheduler)
    try:
        rows = run_batch(client, videos, folders, options)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    print_summary(rows)
    return 0 if all(r["status"] == "ok" for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
