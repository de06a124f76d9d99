#include "foundation/percentile.h"

#include <algorithm>
#include <cmath>

namespace velmo::ai {

double nearest_rank_percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const double n = static_cast<double>(values.size());
  double rank = std::ceil(n * p) - 1.0;
  size_t index = rank < 0.0 ? 0 : static_cast<size_t>(rank);
  index = std::min(index, values.size() - 1);
  return values[index];
}

}  // namespace velmo::ai
