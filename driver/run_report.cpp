#include "driver/run_report.hpp"

#include <cmath>
#include <cstdio>
#include <sstream>

#include "io/output_file.hpp"

namespace {

// Length of the well-formed UTF-8 sequence at text[at], or 0 when the byte
// there does not start one (stray continuation bytes, overlong forms,
// surrogates, values beyond U+10FFFF, cut sequences).
size_t Utf8SequenceLength(const std::string& text, size_t at) {
  const auto byte = [&](size_t i) {
    return static_cast<unsigned char>(text[i]);
  };
  const unsigned char lead = byte(at);
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0)
      low = 0xA0;
    if (lead == 0xED)
      high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0)
      low = 0x90;
    if (lead == 0xF4)
      high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size())
    return 0;
  if (byte(at + 1) < low || byte(at + 1) > high)
    return 0;
  for (size_t i = 2; i < length; ++i) {
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF)
      return 0;
  }
  return length;
}

// A JSON string. Paths are bytes, not necessarily UTF-8: a byte that is not
// part of a well-formed sequence is written as U+FFFD, so the report stays
// valid UTF-8 (and valid JSON) whatever the file names hold.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (size_t at = 0; at < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    if (c >= 0x80) {
      const size_t length = Utf8SequenceLength(text, at);
      out += length == 0 ? std::string("\\ufffd") : text.substr(at, length);
      at += length == 0 ? 1 : length;
      continue;
    }
    ++at;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

// JSON has no NaN or infinity: such values are written as null.
std::string Number(double value) {
  if (!std::isfinite(value))
    return "null";
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

// A 3x3 matrix as three rows.
std::string Matrix(const cv::Mat& H) {
  std::string out = "[";
  for (int r = 0; r < 3; ++r) {
    out += r ? ", [" : "[";
    for (int c = 0; c < 3; ++c)
      out += (c ? ", " : "") + Number(H.at<double>(r, c));
    out += "]";
  }
  return out + "]";
}

std::string StringList(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i)
    out += (i ? ", " : "") + Quoted(items[i]);
  return out + "]";
}

// "skipped" and "segments" of a --keep-going run, each a list.
std::string KeepGoingJson(keepgoing::KeepGoing& keepGoing) {
  std::ostringstream json;
  json << "  \"skipped\": [";
  const auto& runs = keepGoing.skipped();
  for (size_t i = 0; i < runs.size(); ++i) {
    json << (i ? ",\n" : "\n") << "    {\"first\": " << runs[i].first
         << ", \"last\": " << runs[i].last << ", \"reason\": " << Quoted(runs[i].reason) << "}";
  }
  json << (runs.empty() ? "],\n" : "\n  ],\n");
  json << "  \"segments\": [";
  bool any = false;
  for (const keepgoing::Segment& segment : keepGoing.segments()) {
    if (segment.keyFrames.empty() || segment.mergedInto >= 0)
      continue;
    json << (any ? ",\n" : "\n") << "    {\"first_frame\": " << segment.firstFrame
         << ", \"last_frame\": " << segment.lastFrame << ", \"key_frames\": [";
    for (size_t k = 0; k < segment.keyFrames.size(); ++k)
      json << (k ? ", " : "") << segment.keyFrames[k];
    json << "]";
    Panorama& p = *segment.panorama;
    if (p.Node_PanoReference != nullptr && !p.pano.empty()) {
      // Each key frame's pixels onto the pixels of the segment's mosaic.
      const cv::Mat referenceToCanvas =
          (cv::Mat_<double>(3, 3) << 1, 0, -p.composition.minposAcum_x, 0, 1,
           -p.composition.minposAcum_y, 0, 0, 1);
      json << ", \"canvas\": {\"width\": " << p.pano.cols << ", \"height\": " << p.pano.rows
           << "}, \"reference\": " << p.Node_PanoReference->id << ", \"frame_to_canvas\": [";
      for (size_t k = 0; k < p.Vect_Nodes.size(); ++k) {
        _treeNode* n = p.Vect_Nodes[k];
        json << (k ? ", " : "")
             << (p.SkippedByCanvas(n->id) ? std::string("null")
                                          : Matrix(referenceToCanvas * p.FrameToReference(n)));
      }
      json << "]";
    }
    json << ", \"outputs\": " << StringList(segment.outputs) << "}";
    any = true;
  }
  json << (any ? "\n  ],\n" : "],\n");
  return json.str();
}

}  // namespace

std::string RunReportJson(const RunReport& report, Panorama& p) {
  const bool composed = !p.CanvasSize().empty() && p.Node_PanoReference != nullptr;
  std::ostringstream json;
  json << "{\n";
  json << "  \"input\": " << Quoted(report.input) << ",\n";
  json << "  \"arguments\": " << StringList(report.arguments) << ",\n";
  json << "  \"settings\": {\"overlap_threshold\": " << Number(report.overlapThreshold)
       << ", \"feature_method\": " << report.featureMethod
       << ", \"median\": " << (report.withMedian != 0 ? "true" : "false")
       << ", \"frame_limit\": " << report.frameLimit;
  if (report.workScale < 1.0)
    json << ", \"work_scale\": " << Number(report.workScale);
  json << "},\n";
  json << "  \"frame_size\": {\"width\": " << report.frameWidth
       << ", \"height\": " << report.frameHeight << "},\n";
  json << "  \"frames_read\": " << report.framesRead << ",\n";
  json << "  \"stopped_early\": ";
  if (report.stoppedAtFrame >= 0) {
    json << "{\"frame\": " << report.stoppedAtFrame << ", \"frames_unread\": "
         << (report.framesUnread >= 0 ? std::to_string(report.framesUnread) : std::string("null"))
         << ", \"reason\": " << Quoted(report.stopReason) << "},\n";
  } else {
    json << "null,\n";
  }
  json << "  \"tree_root\": " << (p.Root_AVL ? std::to_string(p.Root_AVL->id) : "null") << ",\n";
  json << "  \"reference\": "
       << (composed ? std::to_string(p.Node_PanoReference->id) : std::string("null")) << ",\n";
  if (composed) {
    json << "  \"canvas\": {\"width\": " << p.CanvasSize().width
         << ", \"height\": " << p.CanvasSize().height
         << ", \"origin_x\": " << p.composition.minposAcum_x
         << ", \"origin_y\": " << p.composition.minposAcum_y << "},\n";
  } else {
    json << "  \"canvas\": null,\n";
  }
  // Reference plane to canvas: canvas pixel (c, r) shows (c + origin_x, r + origin_y).
  const cv::Mat referenceToCanvas =
      composed ? (cv::Mat_<double>(3, 3) << 1, 0, -p.composition.minposAcum_x, 0, 1,
                  -p.composition.minposAcum_y, 0, 0, 1)
               : cv::Mat();
  json << "  \"key_frames\": [";
  for (size_t i = 0; i < p.Vect_Nodes.size(); ++i) {
    _treeNode* n = p.Vect_Nodes[i];
    const size_t slot = static_cast<size_t>(n->id - 1);
    json << (i ? ",\n" : "\n") << "    {\"id\": " << n->id << ", \"frame\": "
         << (slot < report.keyFrameNumbers.size() ? std::to_string(report.keyFrameNumbers[slot])
                                                  : std::string("null"))
         << ", \"parent\": " << (n->parent ? std::to_string(n->parent->id) : std::string("null"))
         << ", \"H_ParentToNode\": "
         << (n->parent ? Matrix(*n->H_ParentToNode) : std::string("null"));
    if (composed) {
      const bool inMosaic = !p.SkippedByCanvas(n->id);
      json << ", \"frame_to_canvas\": "
           << (inMosaic ? Matrix(referenceToCanvas * p.FrameToReference(n)) : std::string("null"));
    }
    json << "}";
  }
  json << (p.Vect_Nodes.empty() ? "],\n" : "\n  ],\n");
  if (report.refinement != nullptr) {
    const RefinementResult& r = *report.refinement;
    json << "  \"refinement\": {\"pairs_tried\": " << r.pairsTried
         << ", \"pairs_kept\": " << r.pairsKept
         << ", \"residual_before\": " << Number(r.residualBefore)
         << ", \"residual_after\": " << Number(r.residualAfter)
         << ", \"placements_refused\": " << r.placementsRefused
         << ", \"adjusted\": " << (r.adjusted ? "true" : "false") << ", \"pairs\": [";
    for (size_t i = 0; i < r.pairs.size(); ++i) {
      const RefinedPair& pair = r.pairs[i];
      json << (i ? ",\n" : "\n") << "    {\"a\": " << pair.idA << ", \"b\": " << pair.idB
           << ", \"overlap\": " << Number(pair.overlapPercent)
           << ", \"ncc_before\": " << Number(pair.nccBefore)
           << ", \"ncc_after\": " << Number(pair.nccAfter)
           << ", \"kept\": " << (pair.kept ? "true" : "false") << "}";
    }
    json << (r.pairs.empty() ? "]},\n" : "\n  ]},\n");
  }
  if (report.keepGoing != nullptr)
    json << KeepGoingJson(*report.keepGoing);
  if (!report.georeferenceJson.empty())
    json << "  \"georeference\": " << report.georeferenceJson << ",\n";
  json << "  \"timings\": {\"tree_seconds\": " << Number(report.treeSeconds)
       << ", \"composition_seconds\": " << Number(report.compositionSeconds);
  if (report.refinement != nullptr)
    json << ", \"refine_seconds\": " << Number(report.refineSeconds);
  json << "},\n";
  json << "  \"outputs\": " << StringList(report.outputs) << "\n";
  json << "}\n";
  return json.str();
}

cv::Mat FrameToCanvas(Panorama& p, _treeNode* node) {
  const cv::Mat referenceToCanvas = (cv::Mat_<double>(3, 3) << 1, 0, -p.composition.minposAcum_x, 0,
                                     1, -p.composition.minposAcum_y, 0, 0, 1);
  return referenceToCanvas * p.FrameToReference(node);
}

std::string JsonQuoted(const std::string& text) {
  return Quoted(text);
}

std::string JsonNumber(double value) {
  return Number(value);
}

bool WriteRunReport(const std::string& path, const RunReport& report, Panorama& panorama) {
  const std::string text = RunReportJson(report, panorama);
  std::string error;
  if (io::WriteFileAtomically(path, std::vector<unsigned char>(text.begin(), text.end()), &error)) {
    return true;
  }
  std::fprintf(stderr, "vmosaic: could not write %s: %s\n", path.c_str(), error.c_str());
  return false;
}
