#include "SyntheticEncoder.h"

#include <algorithm>
#include <cmath>

namespace qnv::devsim {
namespace {

constexpr uint8_t kNalHeaderSps = 0x67;
constexpr uint8_t kNalHeaderPps = 0x68;
constexpr uint8_t kNalHeaderIdr = 0x65;
constexpr uint8_t kNalHeaderP = 0x41;
constexpr uint32_t kSliceTypeP = 5;  // all slices of the picture are P
constexpr uint32_t kSliceTypeI = 7;  // all slices of the picture are I
constexpr uint32_t kLog2MaxFrameNum = 8;
constexpr size_t kMinSliceSize = 32;
constexpr uint32_t kMaxDimension = 8192;

// MSB-first bit writer for RBSP data; Finish() adds the stop bit and inserts emulation
// prevention bytes.
class BitWriter {
 public:
  void Bits(uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) Bit((value >> i) & 1);
  }
  void Bit(uint32_t b) {
    m_cur = static_cast<uint8_t>((m_cur << 1) | (b & 1));
    if (++m_n == 8) {
      m_rbsp.push_back(m_cur);
      m_cur = 0;
      m_n = 0;
    }
  }
  void Ue(uint32_t v) {
    const uint64_t x = static_cast<uint64_t>(v) + 1;
    int len = 0;
    while ((x >> (len + 1)) != 0) ++len;
    Bits(0, len);
    for (int i = len; i >= 0; --i) Bit(static_cast<uint32_t>((x >> i) & 1));
  }
  void Se(int32_t v) {
    Ue(v <= 0 ? static_cast<uint32_t>(-2 * v) : static_cast<uint32_t>(2 * v - 1));
  }
  // Start code, NAL header, escaped RBSP with trailing bits.
  std::vector<uint8_t> Finish(uint8_t nalHeader) {
    Bit(1);
    while (m_n != 0) Bit(0);
    std::vector<uint8_t> out = {0, 0, 0, 1, nalHeader};
    int zeros = 0;
    for (uint8_t b : m_rbsp) {
      if (zeros >= 2 && b <= 3) {
        out.push_back(3);
        zeros = 0;
      }
      out.push_back(b);
      zeros = (b == 0) ? zeros + 1 : 0;
    }
    return out;
  }

 private:
  std::vector<uint8_t> m_rbsp;
  uint8_t m_cur = 0;
  int m_n = 0;
};

}  // namespace

SyntheticEncoder::SyntheticEncoder(uint32_t width, uint32_t height, uint32_t bitrate, double fps,
                                   int gop)
    : m_width(std::clamp<uint32_t>(width, 16, kMaxDimension)),
      m_height(std::clamp<uint32_t>(height, 16, kMaxDimension)),
      m_gop(std::clamp(gop, 1, 1 << 16)) {
  const double rate = fps > 0 ? fps : 25;
  const double bytesPerGop = static_cast<double>(bitrate) / 8.0 * m_gop / rate;
  // The group has one I slice of weight 4 and gop - 1 P slices of weight 1.
  const double p = bytesPerGop / (m_gop + 3);
  m_pSize = std::max<size_t>(kMinSliceSize, static_cast<size_t>(std::llround(p)));
  m_iSize =
      std::max<size_t>(kMinSliceSize, m_gop == 1 ? static_cast<size_t>(bytesPerGop) : 4 * m_pSize);
}

std::vector<uint8_t> SyntheticEncoder::Sps() const {
  const uint32_t mbw = (m_width + 15) / 16, mbh = (m_height + 15) / 16;
  BitWriter w;
  w.Bits(66, 8);                          // profile_idc: baseline
  w.Bits(0xC0, 8);                        // constraint_set0/1
  w.Bits(mbw * mbh > 8192 ? 51 : 40, 8);  // level_idc
  w.Ue(0);                                // seq_parameter_set_id
  w.Ue(kLog2MaxFrameNum - 4);             // log2_max_frame_num_minus4
  w.Ue(2);                                // pic_order_cnt_type
  w.Ue(1);                                // max_num_ref_frames
  w.Bit(0);                               // gaps_in_frame_num_value_allowed_flag
  w.Ue(mbw - 1);                          // pic_width_in_mbs_minus1
  w.Ue(mbh - 1);                          // pic_height_in_map_units_minus1
  w.Bit(1);                               // frame_mbs_only_flag
  w.Bit(1);                               // direct_8x8_inference_flag
  const uint32_t cropRight = (mbw * 16 - m_width) / 2, cropBottom = (mbh * 16 - m_height) / 2;
  const bool crop = cropRight != 0 || cropBottom != 0;
  w.Bit(crop ? 1 : 0);
  if (crop) {
    w.Ue(0);
    w.Ue(cropRight);
    w.Ue(0);
    w.Ue(cropBottom);
  }
  w.Bit(0);  // vui_parameters_present_flag
  return w.Finish(kNalHeaderSps);
}

std::vector<uint8_t> SyntheticEncoder::Pps() const {
  BitWriter w;
  w.Ue(0);       // pic_parameter_set_id
  w.Ue(0);       // seq_parameter_set_id
  w.Bit(0);      // entropy_coding_mode_flag
  w.Bit(0);      // bottom_field_pic_order_in_frame_present_flag
  w.Ue(0);       // num_slice_groups_minus1
  w.Ue(0);       // num_ref_idx_l0_default_active_minus1
  w.Ue(0);       // num_ref_idx_l1_default_active_minus1
  w.Bit(0);      // weighted_pred_flag
  w.Bits(0, 2);  // weighted_bipred_idc
  w.Se(0);       // pic_init_qp_minus26
  w.Se(0);       // pic_init_qs_minus26
  w.Se(0);       // chroma_qp_index_offset
  w.Bit(1);      // deblocking_filter_control_present_flag
  w.Bit(0);      // constrained_intra_pred_flag
  w.Bit(0);      // redundant_pic_cnt_present_flag
  return w.Finish(kNalHeaderPps);
}

std::vector<uint8_t> SyntheticEncoder::Slice(int index) const {
  const bool idr = (index == 0);
  BitWriter w;
  w.Ue(0);                                // first_mb_in_slice
  w.Ue(idr ? kSliceTypeI : kSliceTypeP);  // slice_type
  w.Ue(0);                                // pic_parameter_set_id
  w.Bits(static_cast<uint32_t>(index) & ((1u << kLog2MaxFrameNum) - 1), kLog2MaxFrameNum);
  if (idr) {
    w.Ue(0);  // idr_pic_id
  } else {
    w.Bit(0);  // num_ref_idx_active_override_flag
    w.Bit(0);  // ref_pic_list_modification_flag_l0
  }
  if (idr) {
    w.Bit(0);  // no_output_of_prior_pics_flag
    w.Bit(0);  // long_term_reference_flag
  } else {
    w.Bit(0);  // adaptive_ref_pic_marking_mode_flag
  }
  w.Se(0);  // slice_qp_delta
  w.Ue(1);  // disable_deblocking_filter_idc
  std::vector<uint8_t> nal = w.Finish(idr ? kNalHeaderIdr : kNalHeaderP);
  // Filler: never zero, so that no start code can appear inside the unit.
  const size_t target = idr ? m_iSize : m_pSize;
  uint32_t x = 0x9E3779B9u ^ static_cast<uint32_t>(index);
  while (nal.size() < target) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    nal.push_back(static_cast<uint8_t>(x | 0x01));
  }
  return nal;
}

}  // namespace qnv::devsim
