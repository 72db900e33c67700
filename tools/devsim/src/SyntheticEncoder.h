// Makes H.264 NAL units for the synthetic source: a baseline SPS and PPS for the chosen
// frame size, and per frame one slice NAL with a valid slice header (IDR 0x65 for the
// first frame of each group, 0x41 otherwise) followed by filler, sized so that the stream
// has the chosen bitrate (I slices four times the size of P slices). The filler is not a
// decodable picture; it only has the size and the headers of one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qnv::devsim {

// Value object; any thread.
class SyntheticEncoder {
 public:
  SyntheticEncoder(uint32_t width, uint32_t height, uint32_t bitrate, double fps, int gop);

  int Gop() const { return m_gop; }
  std::vector<uint8_t> Sps() const;
  std::vector<uint8_t> Pps() const;
  // The slice of frame `index` within the group (0 is the IDR picture).
  std::vector<uint8_t> Slice(int index) const;

 private:
  uint32_t m_width, m_height;
  int m_gop;
  size_t m_iSize, m_pSize;  // NAL sizes in bytes, start code included
};

}  // namespace qnv::devsim
