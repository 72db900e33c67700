// The pictures a stream sends, in order; streams loop over them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qnv::devsim {

struct SimulatorOptions;

using NalUnit = std::shared_ptr<const std::vector<uint8_t>>;  // 4-byte start code + NAL

// One time slot of a stream: its picture's NAL units and, in front of them, the parameter
// sets and SEI that go out right before it without a slot of their own.
struct Picture {
  std::vector<NalUnit> nals;
  bool key = false;  // holds an IDR slice
};

// Immutable list of pictures shared by every stream of a device. Built once before the
// device starts; read from the network thread only afterwards.
class PictureSequence {
 public:
  // The pictures of an Annex-B clip. Empty result (and `error` set) when the file cannot
  // be read or holds no picture.
  static std::shared_ptr<const PictureSequence> FromClip(const std::string& path,
                                                         std::string& error);
  // One group of pictures of the synthetic source (see SyntheticEncoder).
  static std::shared_ptr<const PictureSequence> Synthetic(const SimulatorOptions& options);

  const std::vector<Picture>& Pictures() const { return m_pictures; }
  // The size of the pictures sent, from the first sequence parameter set
  // (the synthetic source's own size); 0 x 0 when none could be read.
  uint32_t Width() const { return m_width; }
  uint32_t Height() const { return m_height; }

 private:
  std::vector<Picture> m_pictures;
  uint32_t m_width = 0, m_height = 0;
};

}  // namespace qnv::devsim
