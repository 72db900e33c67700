#include "PictureSequence.h"

#include "SyntheticEncoder.h"
#include "devsim/Simulator.h"
#include "qnvrecording/H264Nal.h"

namespace qnv::devsim {
namespace {

constexpr size_t kStartCodeSize = 4;
constexpr uint8_t kNalTypeMask = 0x1f;
constexpr uint8_t kNalSliceIdr = 5;

bool IsSlice(uint8_t type) { return type >= 1 && type <= kNalSliceIdr; }

// first_mb_in_slice is the first ue(v) after the NAL header; its value is 0 exactly when
// its first bit is 1. A slice with first_mb_in_slice 0 begins a new picture.
bool StartsPicture(const std::vector<uint8_t>& nal) {
  return nal.size() > kStartCodeSize + 1 && (nal[kStartCodeSize + 1] & 0x80) != 0;
}

}  // namespace

std::shared_ptr<const PictureSequence> PictureSequence::FromClip(const std::string& path,
                                                                 std::string& error) {
  auto nals = LoadClipNalUnits(path);
  auto seq = std::make_shared<PictureSequence>();
  std::vector<NalUnit> pending;  // non-slice units waiting for their picture
  for (auto& raw : nals) {
    if (raw.size() <= kStartCodeSize) continue;
    const uint8_t type = raw[kStartCodeSize] & kNalTypeMask;
    auto nal = std::make_shared<const std::vector<uint8_t>>(std::move(raw));
    if (!IsSlice(type)) {
      qnvrec::SSpsInfo sps;
      if (seq->m_width == 0 &&
          qnvrec::ParseSps({nal->data() + kStartCodeSize, nal->size() - kStartCodeSize}, sps)) {
        seq->m_width = uint32_t(sps.width);
        seq->m_height = uint32_t(sps.height);
      }
      pending.push_back(std::move(nal));
      continue;
    }
    if (StartsPicture(*nal) || seq->m_pictures.empty()) {
      seq->m_pictures.emplace_back();
      seq->m_pictures.back().nals = std::move(pending);
      pending.clear();
    } else {
      // A further slice of the same picture: shares its slot.
      for (auto& p : pending) seq->m_pictures.back().nals.push_back(std::move(p));
      pending.clear();
    }
    seq->m_pictures.back().nals.push_back(nal);
    if (type == kNalSliceIdr) seq->m_pictures.back().key = true;
  }
  if (seq->m_pictures.empty()) {
    error = nals.empty() ? "cannot read H.264 clip " + path : "no picture in clip " + path;
    return nullptr;
  }
  // Units after the last picture go out with it.
  for (auto& p : pending) seq->m_pictures.back().nals.push_back(std::move(p));
  return seq;
}

std::shared_ptr<const PictureSequence> PictureSequence::Synthetic(const SimulatorOptions& options) {
  auto seq = std::make_shared<PictureSequence>();
  seq->m_width = options.syntheticWidth;
  seq->m_height = options.syntheticHeight;
  SyntheticEncoder encoder(options.syntheticWidth, options.syntheticHeight,
                           options.syntheticBitrate, options.fps, options.syntheticGop);
  for (int i = 0; i < encoder.Gop(); ++i) {
    Picture pic;
    pic.key = (i == 0);
    if (pic.key) {
      pic.nals.push_back(std::make_shared<const std::vector<uint8_t>>(encoder.Sps()));
      pic.nals.push_back(std::make_shared<const std::vector<uint8_t>>(encoder.Pps()));
    }
    pic.nals.push_back(std::make_shared<const std::vector<uint8_t>>(encoder.Slice(i)));
    seq->m_pictures.push_back(std::move(pic));
  }
  return seq;
}

}  // namespace qnv::devsim
