// The benchmark's plot.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "bench.hpp"

namespace bench {

// Writes an SVG with one line per series: the fraction of ticks whose
// lateness exceeds x, on a log scale.
void WriteLatenessSvg(const std::string& path, const std::string& title,
                      const std::vector<std::pair<std::string, std::vector<double>>>& series);

}  // namespace bench
