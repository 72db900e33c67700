#include "qnvrecording/H264Nal.h"

#include <cstdio>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace qnvrec {

namespace {

// Exp-Golomb reader over a NAL unit's payload with the emulation-prevention
// bytes (00 00 03) already removed. Reads past the end fail, never crash.
class BitReader {
 public:
  explicit BitReader(std::vector<uint8_t> rbsp) : m_rbsp(std::move(rbsp)) {}
  bool ok() const { return m_ok; }
  uint32_t Bit() {
    if (m_pos >= m_rbsp.size() * 8) {
      m_ok = false;
      return 0;
    }
    uint32_t bit = (m_rbsp[m_pos / 8] >> (7 - m_pos % 8)) & 1;
    ++m_pos;
    return bit;
  }
  uint32_t Bits(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = (v << 1) | Bit();
    return v;
  }
  uint32_t Ue() {
    int zeros = 0;
    while (m_ok && Bit() == 0) {
      if (++zeros > 31) {
        m_ok = false;
        return 0;
      }
    }
    return m_ok ? (uint32_t((uint64_t(1) << zeros) - 1) + Bits(zeros)) : 0;
  }
  int32_t Se() {
    uint32_t k = Ue();
    return (k & 1) ? int32_t((k + 1) / 2) : -int32_t(k / 2);
  }

 private:
  std::vector<uint8_t> m_rbsp;
  size_t m_pos = 0;
  bool m_ok = true;
};

std::vector<uint8_t> Unescape(const uint8_t* data, size_t size) {
  std::vector<uint8_t> out;
  out.reserve(size);
  int zeros = 0;
  for (size_t i = 0; i < size; ++i) {
    if (zeros >= 2 && data[i] == 3) {
      zeros = 0;
      continue;
    }
    zeros = data[i] == 0 ? zeros + 1 : 0;
    out.push_back(data[i]);
  }
  return out;
}

void SkipScalingList(BitReader& br, int size) {
  int last = 8, next = 8;
  for (int j = 0; j < size && br.ok(); ++j) {
    if (next != 0) next = (last + br.Se() + 256) % 256;
    last = next == 0 ? last : next;
  }
}

}  // namespace

std::vector<SNalRef> SplitAnnexB(const uint8_t* data, size_t size) {
  std::vector<SNalRef> nals;
  size_t i = 0;
  size_t start = SIZE_MAX;  // first byte of the current unit
  while (i + 3 <= size) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
      if (start != SIZE_MAX) {
        size_t end = i;
        while (end > start && data[end - 1] == 0) --end;  // trailing zeros belong to the next code
        if (end > start) nals.push_back(SNalRef{data + start, end - start});
      }
      i += 3;
      start = i;
    } else {
      ++i;
    }
  }
  if (start != SIZE_MAX && start < size) nals.push_back(SNalRef{data + start, size - start});
  return nals;
}

std::string Mp4MimeType(const SNalRef& sps) {
  if (sps.size < 4) return "";
  char text[48];
  std::snprintf(text, sizeof text, "video/mp4; codecs=\"avc1.%02x%02x%02x\"", sps.data[1],
                sps.data[2], sps.data[3]);
  return text;
}

bool ParseSps(const SNalRef& nal, SSpsInfo& info) {
  if (nal.Type() != kNalSps || nal.size < 4) return false;
  BitReader br(Unescape(nal.data + 1, nal.size - 1));
  int profile = int(br.Bits(8));
  br.Bits(8);  // constraint flags
  int level = int(br.Bits(8));
  br.Ue();  // seq_parameter_set_id
  uint32_t chroma = 1;
  bool separatePlanes = false;
  switch (profile) {
    case 100:
    case 110:
    case 122:
    case 244:
    case 44:
    case 83:
    case 86:
    case 118:
    case 128:
    case 138:
    case 139:
    case 134:
    case 135:
      chroma = br.Ue();
      if (chroma > 3) return false;
      if (chroma == 3) separatePlanes = br.Bit() != 0;
      br.Ue();         // bit_depth_luma_minus8
      br.Ue();         // bit_depth_chroma_minus8
      br.Bit();        // qpprime_y_zero_transform_bypass_flag
      if (br.Bit()) {  // seq_scaling_matrix_present_flag
        for (int i = 0; i < (chroma == 3 ? 12 : 8) && br.ok(); ++i) {
          if (br.Bit()) SkipScalingList(br, i < 6 ? 16 : 64);
        }
      }
      break;
    default:
      break;
  }
  br.Ue();  // log2_max_frame_num_minus4
  uint32_t pocType = br.Ue();
  if (pocType == 0) {
    br.Ue();  // log2_max_pic_order_cnt_lsb_minus4
  } else if (pocType == 1) {
    br.Bit();
    br.Se();
    br.Se();
    uint32_t cycle = br.Ue();
    if (cycle > 255) return false;
    for (uint32_t i = 0; i < cycle && br.ok(); ++i) br.Se();
  } else if (pocType != 2) {
    return false;
  }
  br.Ue();   // max_num_ref_frames
  br.Bit();  // gaps_in_frame_num_value_allowed_flag
  uint32_t widthMbs = br.Ue() + 1;
  uint32_t heightUnits = br.Ue() + 1;
  uint32_t frameMbsOnly = br.Bit();
  if (!frameMbsOnly) br.Bit();  // mb_adaptive_frame_field_flag
  br.Bit();                     // direct_8x8_inference_flag
  uint32_t cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
  if (br.Bit()) {
    cropLeft = br.Ue();
    cropRight = br.Ue();
    cropTop = br.Ue();
    cropBottom = br.Ue();
  }
  if (!br.ok() || widthMbs > 1024 || heightUnits > 1024) return false;
  uint32_t arrayType = separatePlanes ? 0 : chroma;
  uint32_t cropX = (arrayType == 1 || arrayType == 2) ? 2 : 1;
  uint32_t cropY = (arrayType == 1 ? 2 : 1) * (2 - frameMbsOnly);
  int64_t width = int64_t(widthMbs) * 16 - int64_t(cropX) * (cropLeft + cropRight);
  int64_t height =
      int64_t(heightUnits) * 16 * (2 - frameMbsOnly) - int64_t(cropY) * (cropTop + cropBottom);
  if (width <= 0 || height <= 0) return false;
  info.width = int(width);
  info.height = int(height);
  info.profile = profile;
  info.level = level;
  return true;
}

}  // namespace qnvrec

namespace qnvrec {

double StreamFrameRate(const SNalRef& sps, const SNalRef& pps, const SNalRef& slice) {
  static constexpr uint8_t kStart[4] = {0, 0, 0, 1};
  std::vector<uint8_t> stream;
  for (const SNalRef* nal : {&sps, &pps, &slice}) {
    stream.insert(stream.end(), kStart, kStart + 4);
    stream.insert(stream.end(), nal->data, nal->data + nal->size);
  }
  const size_t size = stream.size();
  stream.resize(size + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  AVCodecParserContext* parser = av_parser_init(AV_CODEC_ID_H264);
  AVCodecContext* context = avcodec_alloc_context3(nullptr);
  double fps = 0;
  if (parser != nullptr && context != nullptr) {
    parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
    // H.264 counts two ticks per frame (one per field).
    context->ticks_per_frame = 2;
    uint8_t* out = nullptr;
    int outSize = 0;
    av_parser_parse2(parser, context, &out, &outSize, stream.data(), int(size), AV_NOPTS_VALUE,
                     AV_NOPTS_VALUE, 0);
    if (context->framerate.num > 0 && context->framerate.den > 0)
      fps = double(context->framerate.num) / context->framerate.den;
  }
  if (parser != nullptr) av_parser_close(parser);
  avcodec_free_context(&context);
  return fps > 0 && fps <= 1000 ? fps : 0;
}

}  // namespace qnvrec
