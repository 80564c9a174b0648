// Small statistics over measured samples.
#pragma once

#include <vector>

namespace simrelay::bench {

// The nearest-rank percentile (0 < p <= 100) of the samples; 0 when empty.
// Sorts the samples in place.
double percentile(std::vector<double>& samples, double p);

double median(std::vector<double>& samples);

double minimum(const std::vector<double>& samples);

double maximum(const std::vector<double>& samples);

}  // namespace simrelay::bench
