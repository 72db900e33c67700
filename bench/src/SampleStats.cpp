#include "SampleStats.h"

#include <algorithm>

namespace qnv::bench {

double CSampleSet::Median() const {
  if (values_.empty()) return 0;
  std::vector<double> v = values_;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double CSampleSet::Min() const {
  return values_.empty() ? 0 : *std::min_element(values_.begin(), values_.end());
}

double CSampleSet::Max() const {
  return values_.empty() ? 0 : *std::max_element(values_.begin(), values_.end());
}

}  // namespace qnv::bench
