// CSampleSet: the values one measurement took over the rounds of a run, with
// their median, minimum and maximum. Single-threaded.
#ifndef QNV_BENCH_SAMPLESTATS_H
#define QNV_BENCH_SAMPLESTATS_H

#include <cstddef>
#include <vector>

namespace qnv::bench {

class CSampleSet {
 public:
  CSampleSet() = default;
  void Add(double v) { m_values.push_back(v); }
  bool Empty() const { return m_values.empty(); }
  size_t Count() const { return m_values.size(); }
  double Median() const;  // 0 when empty
  double Min() const;
  double Max() const;

 private:
  std::vector<double> m_values;
};

}  // namespace qnv::bench

#endif  // QNV_BENCH_SAMPLESTATS_H
