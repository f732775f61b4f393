// The ground fit: a known similarity is recovered through noise and gross
// outliers, degenerate positions are refused, and the geotransform places
// pixel centres where the fit does.
#include "geometry/georeference.hpp"

#include <gtest/gtest.h>

#include <random>

namespace {

// Points of a survey's key frames on a canvas, and their ground positions
// under east = a x + b y + tx, north = b x - a y + ty, with Gaussian noise.
struct Scene {
  std::vector<cv::Point2d> canvas, ground;
};

Scene Survey(double a, double b, int points, double noiseMetres, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> spread(0.0, 4000.0);
  std::normal_distribution<double> noise(0.0, noiseMetres);
  Scene s;
  for (int i = 0; i < points; ++i) {
    const cv::Point2d p(spread(random), spread(random) / 4);
    s.canvas.push_back(p);
    s.ground.emplace_back(a * p.x + b * p.y + 500000.0 + noise(random),
                          b * p.x - a * p.y + 5200000.0 + noise(random));
  }
  return s;
}

TEST(GroundFit, RecoversTheSimilarityThroughNoiseAndOutliers) {
  for (unsigned seed = 1; seed <= 20; ++seed) {
    const double angle = seed * 0.3, scale = 0.02 + 0.01 * seed;
    const double a = scale * std::cos(angle), b = scale * std::sin(angle);
    Scene s = Survey(a, b, 12 + static_cast<int>(seed), 0.05, seed);
    // A quarter of the positions are off by tens of metres (a bad fix).
    for (size_t i = 0; i < s.ground.size(); i += 4)
      s.ground[i] += cv::Point2d(30.0 + i, -25.0);
    const geometry::GroundFit fit = geometry::FitGroundSimilarity(s.canvas, s.ground);
    ASSERT_TRUE(fit.ok) << fit.failure;
    EXPECT_NEAR(fit.a, a, 1e-4) << seed;
    EXPECT_NEAR(fit.b, b, 1e-4) << seed;
    EXPECT_LT(fit.rmsMetres, 0.1) << seed;
    for (size_t i = 0; i < s.ground.size(); ++i) {
      EXPECT_EQ(fit.inliers[i], i % 4 != 0) << seed << " point " << i;
      EXPECT_EQ(fit.residuals[i] > 20.0, i % 4 == 0) << seed << " point " << i;
    }
  }
}

TEST(GroundFit, RefusesTooFewAndCollinearPositions) {
  Scene s = Survey(0.05, 0.0, 2, 0.0, 1);
  EXPECT_EQ(geometry::FitGroundSimilarity(s.canvas, s.ground).failure,
            "too few positions (2; at least 3 are needed)");
  s = Survey(0.05, 0.0, 8, 0.0, 2);
  for (size_t i = 0; i < s.ground.size(); ++i)
    s.ground[i] = cv::Point2d(500000.0 + 10.0 * i, 5200000.0 + 5.0 * i + (i % 2) * 0.01);
  EXPECT_EQ(geometry::FitGroundSimilarity(s.canvas, s.ground).failure,
            "the positions lie on one line");
  for (cv::Point2d& g : s.ground)
    g = cv::Point2d(500000.0 + (&g - s.ground.data()) * 0.01, 5200000.0);  // within 1 m
  EXPECT_TRUE(geometry::NearlyCollinear(s.ground));
}

TEST(GroundFit, GeoTransformPlacesPixelCentresWhereTheFitDoes) {
  const Scene s = Survey(0.03, -0.04, 10, 0.0, 3);
  const geometry::GroundFit fit = geometry::FitGroundSimilarity(s.canvas, s.ground);
  ASSERT_TRUE(fit.ok);
  const std::array<double, 6> t = fit.GeoTransform();
  for (const cv::Point2d& p : {cv::Point2d(0, 0), cv::Point2d(17, 3), cv::Point2d(4000, 900)}) {
    const double px = p.x + 0.5, py = p.y + 0.5;
    const cv::Point2d viaTransform(t[0] + px * t[1] + py * t[2], t[3] + px * t[4] + py * t[5]);
    EXPECT_LT(cv::norm(viaTransform - fit.Apply(p)), 1e-6);
  }
  EXPECT_NEAR(fit.MetresPerPixel(), 0.05, 1e-9);
}

}  // namespace
