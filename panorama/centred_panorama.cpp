#include "panorama/panorama.hpp"

void Panorama::CalculateCenteredPanorama(int /*withMedian*/) {}
