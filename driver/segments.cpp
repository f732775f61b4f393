#include "driver/segments.hpp"

#include <cstdio>
#include <exception>

#include "panorama/refinement.hpp"

bool ComposeFurtherSegments(keepgoing::KeepGoing& keepGoing, const SegmentOutput& output) {
  bool ok = true;
  int number = 1;
  auto& segments = keepGoing.segments();
  for (size_t s = 1; s < segments.size(); ++s) {
    Panorama* p = segments[s].panorama;
    if (p == nullptr || p->num_Nodes == 0 || segments[s].mergedInto >= 0)
      continue;
    ++number;
    output.note(io::Format("vmosaic: segment %d (frames %d-%d, %d key frames)\n", number,
                           segments[s].firstFrame, segments[s].lastFrame, p->num_Nodes));
    if (!output.refine) {
      p->CalculateCenteredPanorama(output.withMedian);
    } else if (p->ChooseReference() != nullptr) {
      RefinementResult refinement;
      p->ComposeCentredPanorama(
          output.withMedian,
          p->RefineKeyFrames(p->TreePlacements(), RefinementSettings{}, &refinement));
    }
    // A blend that fails costs only this mosaic's blend.
    if (output.blend) {
      try {
        p->ComposeBlendedPanorama();
      } catch (const std::exception& e) {
        p->pano_Blend.release();
        output.note(io::Format("vmosaic: the blend of mosaic %d failed: %s\n", number, e.what()));
        ok = false;
      }
    }
    if (output.save) {
      ok = p->Save_PanoNew(output.directory, &segments[s].outputs, "_" + std::to_string(number)) &&
           ok;
    }
  }
  std::fflush(stdout);
  return ok;
}
