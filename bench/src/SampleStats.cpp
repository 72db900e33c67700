#include "SampleStats.h"

#include <algorithm>

namespace qnv::bench {

double CSampleSet::Median() const {
  if (m_values.empty()) return 0;
  std::vector<double> v = m_values;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double CSampleSet::Min() const {
  return m_values.empty() ? 0 : *std::min_element(m_values.begin(), m_values.end());
}

double CSampleSet::Max() const {
  return m_values.empty() ? 0 : *std::max_element(m_values.begin(), m_values.end());
}

}  // namespace qnv::bench
