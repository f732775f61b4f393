"""Validates a vmosaic run report against its schema, then prints what the
C++ test checks: one line per key frame, "id frame" followed by the nine
entries of frame_to_canvas (or "none"), and a first line with the canvas
("canvas none" and the frames read when nothing was composed)."""
import json
import sys

import jsonschema

report_path, schema_path = sys.argv[1], sys.argv[2]
with open(report_path) as f:
    report = json.load(f)
with open(schema_path) as f:
    schema = json.load(f)
jsonschema.validate(report, schema, cls=jsonschema.Draft202012Validator)

canvas = report["canvas"]
if canvas is None:  # nothing was composed
    print("canvas none", report["frames_read"])
    sys.exit(0)
print("canvas", canvas["width"], canvas["height"], canvas["origin_x"], canvas["origin_y"],
      report["reference"], len(report["key_frames"]), report["frames_read"])
for frame in report["key_frames"]:
    H = frame.get("frame_to_canvas")
    values = "none" if H is None else " ".join(repr(v) for row in H for v in row)
    print(frame["id"], frame["frame"], values)
