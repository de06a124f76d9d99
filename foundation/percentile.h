#pragma once

#include <vector>

namespace velmo::ai {

// Nearest rank: 0 for an empty list, else the sorted element at min(ceil(n * p) - 1, n - 1).
double nearest_rank_percentile(std::vector<double> values, double p);

}  // namespace velmo::ai
