#include <fstream>
#include <iterator>

#include "devsim/Simulator.h"

namespace qnv::devsim {

std::vector<std::vector<uint8_t>> LoadClipNalUnits(const std::string& path) {
  std::vector<std::vector<uint8_t>> nals;
  std::ifstream in(path, std::ios::binary);
  if (!in) return nals;
  const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  // Finds the next 00 00 01 at or after `from`; data.size() when there is none.
  auto findStart = [&data](size_t from) {
    for (size_t i = from; i + 3 <= data.size(); ++i) {
      if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) return i;
    }
    return data.size();
  };
  size_t sc = findStart(0);
  while (sc < data.size()) {
    const size_t begin = sc + 3;
    const size_t next = findStart(begin);
    // A NAL unit never ends in a zero byte: zeros before the next 00 00 01 are the fourth
    // byte of a long start code or trailing padding.
    size_t end = next;
    while (end > begin && data[end - 1] == 0) --end;
    if (end > begin) {
      std::vector<uint8_t> nal = {0, 0, 0, 1};
      nal.insert(nal.end(), data.begin() + static_cast<std::ptrdiff_t>(begin),
                 data.begin() + static_cast<std::ptrdiff_t>(end));
      nals.push_back(std::move(nal));
    }
    sc = next;
  }
  return nals;
}

}  // namespace qnv::devsim
