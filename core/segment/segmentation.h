#pragma once

// The segmentation of a picture, step by step: its boundary strength in units of its own
// noise and the strength's crests, the catchment basins of the strength, quorvane's weights
// across the basins (the crests as magnitude, the basins as phase) over the disc pattern,
// the basins merged by average linkage over the weights, and whole segments with borders
// settled on the picture's values. Every host runs these steps; each may time them or draw
// what they found. Images are rows x columns, row-major (C order).

#include <cstdint>
#include <string>
#include <vector>

#include "boundary_strength.h"
#include "disc_pattern.h"
#include "merging.h"
#include "picture_values.h"
#include "weight_engine.h"

namespace quorvane::segment {

// The choices a user makes.
struct SegmentSettings {
  double scale = 1.0;         // finest scale of the edge filters, in pixels
  double contrast = 9.4;      // edge strength, in noise units, that keeps two regions apart
  std::int64_t smallest = 8;  // smallest segment, in pixels
  double radius = 3.0;        // radius of the disc pattern of the weights
};

// What the setting called `name` (scale, contrast, smallest or radius) of a picture whose
// larger side is `largerSide` pixels must be ("finite" first), or null when `value` is that;
// the scale's rule ends with its bound, which a host prints after it. One rule for every
// host's check.
const char* settingRule(const std::string& name, double value, double largerSide);

// sigma of the weights: an edge of strength `contrast` weighs one half.
double weightSigma(double contrast);

// What the steps found, kept for a driver that prints or draws them.
struct Segmentation {
  PictureValues picture;
  StrengthImage strength;
  std::vector<double> crests;
  std::vector<std::int32_t> basins;
  std::int32_t basinCount = 0;
  // The weights in compressed columns over the pixels (C order), as quorvane gives them.
  std::vector<double> weights;
  std::vector<std::uint32_t> weightRows, weightStarts;
  Merged merged;  // the merged region of every basin
  std::vector<std::int32_t> segments;
  std::int32_t count = 0;
};

// The steps in order, each on what the ones before found; `picture` must be fault-free.
void measureStrength(Segmentation& s, const SegmentSettings& settings, const Workers& workers);
void floodBasins(Segmentation& s);
void weighPairs(Segmentation& s, const SegmentSettings& settings, const Workers& workers);
void mergeBasins(Segmentation& s, const SegmentSettings& settings, const Workers& workers);
void findWholeSegments(Segmentation& s, const SegmentSettings& settings, const Workers& workers);

// The weights of the disc pattern's pairs whose column pixel (C order) lies in `part`, over
// the crests (rows x columns) and the basins, as weighPairs weighs them: pairRows and weights
// get discPatternEntries(columns, rows, settings.radius, part) entries, starts one per pixel
// and one more (the columns outside the part empty). For hosts that share the columns out;
// weighPairs weighs them all. `source` is the engine's (the same bits whichever): a part may
// rather do without the edge tables, which cover the whole image (64 bytes a pixel).
void weighDiscColumns(std::int64_t rows, std::int64_t columns, const double* crests,
                      const std::int32_t* basins, const SegmentSettings& settings, PixelRange part,
                      std::uint32_t* pairRows, std::uint32_t* starts, double* weights,
                      const Workers& workers, WeightSource source = WeightSource::kChosen);

// All of the steps on a picture (pictureValues' result, fault-free).
Segmentation segmentPicture(PictureValues picture, const SegmentSettings& settings,
                            const Workers& workers = {});

}  // namespace quorvane::segment
