// Scores the runs of one fidelity case against its ground truth and prints
// the case's section of bench/FIDELITY.md (markdown) on standard output.
//
//   vmosaic-fidelity-score [--summary FILE] CASE TRUTH_JSON VIDEO LABEL=DIR...
//
// TRUTH_JSON is what `vmosaic-render --case ... --truth` wrote; each DIR holds
// one vmosaic run on VIDEO: its --json report (report.json), its pano_*.png
// and optionally wall.txt (the run's wall-clock seconds). --summary appends
// one row per run (markdown) to FILE, for the overview table.
//
// Per run and per mosaic on the mean's canvas: PSNR against the scene
// rendered in the reference plane over the covered pixels, per third of the
// canvas width, and after a gain and offset per 128-pixel tile. Per run: each
// key frame's corner error against the truth (the reference aligned), the
// link error of neighbouring key frames, and the stage timings. Per set of
// key frames: the mean composed with the true homographies by the project's
// Composition (the ceiling for that choice of key frames), scored alike.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/fidelity_metrics.hpp"
#include "composition/composition.hpp"
#include "tools/render/scene_renderer.hpp"

namespace {

constexpr int kTile = 128;

struct Truth {
  std::string scene;
  cv::Size frameSize;
  std::vector<cv::Matx33d> photoToFrame;
};

struct KeyFrame {
  int id = 0;
  int frame = -1;
  bool inMosaic = false;
  cv::Matx33d toCanvas;  // frame pixels -> canvas pixels (estimated)
};

struct Run {
  std::string label, dir;
  cv::Size canvas;
  int referenceId = -1;
  std::vector<KeyFrame> keyFrames;  // by frame number
  std::vector<std::pair<std::string, double>> timings;
  double wallSeconds = std::nan("");
  std::vector<std::string> images;  // pano_*.png present, sorted
};

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// OpenCV's JSON reader has no null: bare nulls become the string "null".
std::string WithoutNulls(const std::string& json) {
  std::string out;
  bool inString = false;
  for (size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    if (inString) {
      out += c;
      if (c == '\\' && i + 1 < json.size()) {
        out += json[++i];
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
      out += c;
    } else if (json.compare(i, 4, "null") == 0) {
      out += "\"null\"";
      i += 3;
    } else {
      out += c;
    }
  }
  return out;
}

cv::FileStorage OpenJson(const std::string& path) {
  const std::string text = ReadText(path);
  if (text.empty())
    return cv::FileStorage();
  return cv::FileStorage(WithoutNulls(text), cv::FileStorage::READ | cv::FileStorage::MEMORY |
                                                 cv::FileStorage::FORMAT_JSON);
}

bool ReadMatrix(const cv::FileNode& node, cv::Matx33d* H) {
  if (!node.isSeq())
    return false;
  if (node.size() == 9) {
    for (int i = 0; i < 9; ++i)
      H->val[i] = static_cast<double>(node[i]);
    return true;
  }
  if (node.size() != 3)
    return false;
  for (int r = 0; r < 3; ++r) {
    if (!node[r].isSeq() || node[r].size() != 3)
      return false;
    for (int c = 0; c < 3; ++c)
      (*H)(r, c) = static_cast<double>(node[r][c]);
  }
  return true;
}

bool LoadTruth(const std::string& path, Truth* truth) {
  cv::FileStorage fs = OpenJson(path);
  if (!fs.isOpened())
    return false;
  truth->scene = static_cast<std::string>(fs["scene"]);
  truth->frameSize = cv::Size(static_cast<int>(fs["frame_size"]["width"]),
                              static_cast<int>(fs["frame_size"]["height"]));
  const cv::FileNode list = fs["photo_to_frame"];
  for (auto it = list.begin(); it != list.end(); ++it) {
    cv::Matx33d H;
    if (!ReadMatrix(*it, &H))
      return false;
    truth->photoToFrame.push_back(H);
  }
  return !truth->photoToFrame.empty();
}

bool LoadRun(const std::string& label, const std::string& dir, Run* run) {
  run->label = label;
  run->dir = dir;
  cv::FileStorage fs = OpenJson(dir + "/report.json");
  if (!fs.isOpened() || !fs["canvas"].isMap())
    return false;
  run->canvas =
      cv::Size(static_cast<int>(fs["canvas"]["width"]), static_cast<int>(fs["canvas"]["height"]));
  run->referenceId = static_cast<int>(fs["reference"]);
  const cv::FileNode list = fs["key_frames"];
  for (auto it = list.begin(); it != list.end(); ++it) {
    KeyFrame k;
    k.id = static_cast<int>((*it)["id"]);
    if ((*it)["frame"].isInt())
      k.frame = static_cast<int>((*it)["frame"]);
    k.inMosaic = ReadMatrix((*it)["frame_to_canvas"], &k.toCanvas);
    run->keyFrames.push_back(k);
  }
  std::sort(run->keyFrames.begin(), run->keyFrames.end(),
            [](const KeyFrame& a, const KeyFrame& b) { return a.frame < b.frame; });
  const cv::FileNode timings = fs["timings"];
  if (timings.isMap()) {
    for (const std::string& key : timings.keys()) {
      if (timings[key].isReal() || timings[key].isInt()) {
        run->timings.emplace_back(key, static_cast<double>(timings[key]));
      }
    }
  }
  std::ifstream wall(dir + "/wall.txt");
  double seconds = 0.0;
  if (wall >> seconds)
    run->wallSeconds = seconds;
  std::vector<cv::String> found;
  cv::glob(dir + "/pano_*.png", found, false);
  for (const cv::String& f : found)
    run->images.push_back(f.substr(f.rfind('/') + 1));
  // The mean first, then the median, then any other mosaic by name.
  const auto rank = [](const std::string& file) {
    return file == "pano_Mean.png" ? 0 : file == "pano_Median.png" ? 1 : 2;
  };
  std::sort(run->images.begin(), run->images.end(),
            [&](const std::string& a, const std::string& b) {
              return rank(a) != rank(b) ? rank(a) < rank(b) : a < b;
            });
  return true;
}

const KeyFrame* Reference(const Run& run) {
  for (const KeyFrame& k : run.keyFrames) {
    if (k.id == run.referenceId && k.inMosaic && k.frame >= 0)
      return &k;
  }
  return nullptr;
}

// Photo pixels -> canvas pixels as the run's reference places them: the
// reference's estimated frame_to_canvas after its true photo-to-frame map.
cv::Matx33d PhotoToCanvas(const Run& run, const Truth& truth) {
  const KeyFrame* ref = Reference(run);
  return ref->toCanvas * truth.photoToFrame[static_cast<size_t>(ref->frame)];
}

cv::Matx33d TrueFrameToCanvas(const Run& run, const Truth& truth, int frame) {
  return PhotoToCanvas(run, truth) * truth.photoToFrame[static_cast<size_t>(frame)].inv();
}

cv::Mat RenderScene(const cv::Mat& scene, const cv::Matx33d& photoToCanvas, cv::Size canvas) {
  cv::Mat out;
  // The frames were rendered with the same sampling and border.
  cv::warpPerspective(scene, out, cv::Mat(photoToCanvas), canvas, cv::INTER_LINEAR,
                      cv::BORDER_REFLECT);
  return out;
}

struct Scores {
  double psnr = 0, tileGain = 0;
  double third[3] = {0, 0, 0};
  double covered = 0;  // share of the canvas
};

Scores Score(const cv::Mat& image, const cv::Mat& truth) {
  Scores s;
  const cv::Mat mask = fidelity::CoveredMask(image);
  s.psnr = fidelity::Psnr(image, truth, mask);
  s.tileGain = fidelity::TileGainPsnr(image, truth, mask, kTile);
  for (int t = 0; t < 3; ++t) {
    const int x0 = image.cols * t / 3, x1 = image.cols * (t + 1) / 3;
    const cv::Rect band(x0, 0, x1 - x0, image.rows);
    s.third[t] = fidelity::Psnr(image(band), truth(band), mask(band));
  }
  s.covered = static_cast<double>(cv::countNonZero(mask)) / static_cast<double>(mask.total());
  return s;
}

// The key frames' images, decoded from the video as vmosaic reads it.
std::map<int, cv::Mat> DecodeFrames(const std::string& video, const std::vector<int>& wanted) {
  std::map<int, cv::Mat> frames;
  if (wanted.empty())
    return frames;
  const int last = *std::max_element(wanted.begin(), wanted.end());
  cv::VideoCapture capture(video, cv::CAP_FFMPEG);
  cv::Mat frame;
  for (int f = 0; f <= last && capture.read(frame); ++f) {
    if (std::find(wanted.begin(), wanted.end(), f) != wanted.end())
      frames[f] = frame.clone();
  }
  return frames;
}

struct Ceiling {
  cv::Mat mean;
  cv::Matx33d photoToCanvas;
};

// The run's key frames composed with their true homographies onto the plane
// of its reference, by the same Composition as vmosaic's mean.
Ceiling ComposeWithTruth(const Run& run, const Truth& truth, const std::string& video) {
  const KeyFrame* ref = Reference(run);
  std::vector<int> wanted;
  for (const KeyFrame& k : run.keyFrames) {
    if (k.inMosaic)
      wanted.push_back(k.frame);
  }
  std::map<int, cv::Mat> images = DecodeFrames(video, wanted);
  for (const int f : wanted) {
    if (images[f].empty() || images[f].size() != truth.frameSize || images[f].type() != CV_8UC3) {
      throw std::runtime_error("frame " + std::to_string(f) + " of " + video + " unreadable");
    }
  }
  const int w = truth.frameSize.width, h = truth.frameSize.height;
  const cv::Matx33d photoToRef = truth.photoToFrame[static_cast<size_t>(ref->frame)];
  Composition composition;
  composition.set_InitValues();
  composition.InitializeWeights(w, h);
  cv::Mat pano;
  composition.StartCanvas(&pano, images[ref->frame], w, h);
  for (const KeyFrame& k : run.keyFrames) {
    if (!k.inMosaic || k.id == ref->id)
      continue;
    const cv::Matx33d frameToRef =
        photoToRef * truth.photoToFrame[static_cast<size_t>(k.frame)].inv();
    const cv::Mat toRef(frameToRef * (1.0 / frameToRef(2, 2)));
    const cv::Mat toFrame = toRef.inv();
    composition.Warping(&pano, images[ref->frame], images[k.frame], toFrame, toRef, 1, 1, 0.5f, w,
                        h);
  }
  Ceiling c;
  composition.computeMeanPanorama(&c.mean);
  const cv::Matx33d refToCanvas(1, 0, -composition.minposAcum_x, 0, 1, -composition.minposAcum_y, 0,
                                0, 1);
  c.photoToCanvas = refToCanvas * photoToRef;
  return c;
}

std::string Fixed(double v, int digits = 2) {
  if (std::isnan(v))
    return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", digits, v);
  return text;
}

std::string ImageName(const std::string& file) {
  // pano_Mean.png -> Mean
  std::string name = file.substr(5);
  return name.substr(0, name.size() - 4);
}

std::string ScoreCells(const Scores& s) {
  return Fixed(s.psnr) + " | " + Fixed(s.third[0]) + " / " + Fixed(s.third[1]) + " / " +
         Fixed(s.third[2]) + " | " + Fixed(s.tileGain) + " | " + Fixed(100.0 * s.covered, 1);
}

}  // namespace

int main(int argc, char** argv) {
  std::string summaryPath;
  int a = 1;
  if (argc > 2 && std::string(argv[1]) == "--summary") {
    summaryPath = argv[2];
    a = 3;
  }
  if (argc - a < 4) {
    std::fprintf(stderr,
                 "usage: vmosaic-fidelity-score [--summary FILE] CASE TRUTH_JSON VIDEO "
                 "LABEL=DIR...\n");
    return 2;
  }
  const std::string caseName = argv[a], truthPath = argv[a + 1], video = argv[a + 2];
  Truth truth;
  if (!LoadTruth(truthPath, &truth)) {
    std::fprintf(stderr, "vmosaic-fidelity-score: cannot read %s\n", truthPath.c_str());
    return 1;
  }
  const cv::Mat scene = render::LoadScene(truth.scene);
  if (scene.empty()) {
    std::fprintf(stderr, "vmosaic-fidelity-score: scene %s not found\n", truth.scene.c_str());
    return 1;
  }
  std::vector<Run> runs;
  for (int i = a + 3; i < argc; ++i) {
    const std::string spec = argv[i];
    const size_t eq = spec.find('=');
    Run run;
    if (eq == std::string::npos || !LoadRun(spec.substr(0, eq), spec.substr(eq + 1), &run) ||
        Reference(run) == nullptr) {
      std::fprintf(stderr, "vmosaic-fidelity-score: no usable run in %s\n", spec.c_str());
      return 1;
    }
    for (const KeyFrame& k : run.keyFrames) {
      if (k.frame < 0 || static_cast<size_t>(k.frame) >= truth.photoToFrame.size()) {
        std::fprintf(stderr, "vmosaic-fidelity-score: key frame %d beyond the truth\n", k.frame);
        return 1;
      }
    }
    runs.push_back(run);
  }

  std::ostringstream md, summary, perFrame, geometry;
  md << "| run | mosaic | PSNR dB | thirds L / M / R | tile-gain PSNR | covered % |\n";
  md << "|---|---|---|---|---|---|\n";
  geometry << "| run | key frames (in mosaic) | reference frame | corner error median / max px | "
              "link error median / max px | stage seconds | wall s |\n";
  geometry << "|---|---|---|---|---|---|---|\n";
  std::map<std::string, Scores> ceilingOf;  // by reference and key-frame list
  std::vector<std::string> ceilingRows;
  for (const Run& run : runs) {
    const cv::Mat truthImage = RenderScene(scene, PhotoToCanvas(run, truth), run.canvas);
    std::map<std::string, Scores> scored;
    for (const std::string& file : run.images) {
      const cv::Mat image = cv::imread(run.dir + "/" + file, cv::IMREAD_COLOR);
      if (image.size() != run.canvas) {
        md << "| " << run.label << " | " << ImageName(file)
           << " | not on the mean's canvas | | | |\n";
        continue;
      }
      scored[ImageName(file)] = Score(image, truthImage);
      md << "| " << run.label << " | " << ImageName(file) << " | "
         << ScoreCells(scored[ImageName(file)]) << " |\n";
    }
    std::string key = std::to_string(run.referenceId) + ":";
    for (const KeyFrame& k : run.keyFrames) {
      if (k.inMosaic)
        key += std::to_string(k.frame) + ",";
    }
    if (ceilingOf.count(key) == 0) {
      Ceiling c;
      try {
        c = ComposeWithTruth(run, truth, video);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "vmosaic-fidelity-score: %s\n", e.what());
        return 1;
      }
      ceilingOf[key] = Score(c.mean, RenderScene(scene, c.photoToCanvas, c.mean.size()));
      ceilingRows.push_back("| true homographies, key frames of " + run.label + " | Mean | " +
                            ScoreCells(ceilingOf[key]) + " |\n");
    }

    // Geometry: each key frame against the truth, and each link between
    // key frames neighbouring in the video.
    std::vector<double> corner, link;
    const KeyFrame* previous = nullptr;
    int inMosaic = 0;
    perFrame << "- " << run.label << ":";
    for (const KeyFrame& k : run.keyFrames) {
      if (!k.inMosaic) {
        perFrame << " " << k.frame << " (left out)";
        continue;
      }
      ++inMosaic;
      const double e = fidelity::CornerError(k.toCanvas, TrueFrameToCanvas(run, truth, k.frame),
                                             truth.frameSize);
      corner.push_back(e);
      perFrame << " " << k.frame << ": " << Fixed(e, 1)
               << (k.id == run.referenceId ? " (ref)" : "");
      if (previous != nullptr) {
        const cv::Matx33d estimated = k.toCanvas.inv() * previous->toCanvas;
        const cv::Matx33d exact = truth.photoToFrame[static_cast<size_t>(k.frame)] *
                                  truth.photoToFrame[static_cast<size_t>(previous->frame)].inv();
        link.push_back(fidelity::CornerError(estimated, exact, truth.frameSize));
      }
      previous = &k;
    }
    perFrame << "\n";
    std::string stages;
    for (const auto& [name, seconds] : run.timings) {
      std::string stage = name;
      const size_t suffix = stage.rfind("_seconds");
      if (suffix != std::string::npos && suffix + 8 == stage.size())
        stage.resize(suffix);
      stages += (stages.empty() ? "" : ", ") + stage + " " + Fixed(seconds);
    }
    const auto maxOf = [](const std::vector<double>& v) {
      return v.empty() ? NAN : *std::max_element(v.begin(), v.end());
    };
    geometry << "| " << run.label << " | " << run.keyFrames.size() << " (" << inMosaic << ") | "
             << Reference(run)->frame << " | " << Fixed(fidelity::Median(corner), 1) << " / "
             << Fixed(maxOf(corner), 1) << " | " << Fixed(fidelity::Median(link)) << " / "
             << Fixed(maxOf(link)) << " | " << stages << " | " << Fixed(run.wallSeconds, 1)
             << " |\n";

    const auto cell = [&scored](const std::string& image) {
      const auto it = scored.find(image);
      return it == scored.end() ? std::string("-")
                                : Fixed(it->second.psnr) + " (" + Fixed(it->second.tileGain) + ")";
    };
    const auto mean = scored.find("Mean");
    summary << "| " << caseName << " | " << run.label << " | " << Fixed(ceilingOf[key].psnr) << " ("
            << Fixed(ceilingOf[key].tileGain) << ") | " << cell("Mean") << " | "
            << (mean == scored.end() ? std::string("-")
                                     : Fixed(mean->second.psnr - ceilingOf[key].psnr))
            << " | " << cell("Median") << " | " << cell("Blend") << " | "
            << Fixed(fidelity::Median(link)) << " | " << Fixed(maxOf(corner), 1) << " |\n";
  }
  for (const std::string& row : ceilingRows)
    md << row;
  md << "\n" << geometry.str();
  md << "\nCorner error per key frame (frame number: px):\n\n" << perFrame.str();
  std::fputs(md.str().c_str(), stdout);
  if (!summaryPath.empty()) {
    std::ofstream out(summaryPath, std::ios::app);
    out << summary.str();
  }
  return 0;
}
