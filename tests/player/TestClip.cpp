#include "TestClip.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "protocol/FrameHeader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

namespace qnvtest {
namespace {

struct CodecDeleter {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using CodecPtr = std::unique_ptr<AVCodecContext, CodecDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Splits an Annex B stream at its start codes; every unit gets 00 00 00 01.
std::vector<std::vector<uint8_t>> SplitUnits(const std::vector<uint8_t>& d) {
  std::vector<size_t> starts;  // first byte after each start code
  for (size_t i = 0; i + 3 <= d.size();) {
    if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) {
      starts.push_back(i + 3);
      i += 3;
    } else {
      ++i;
    }
  }
  std::vector<std::vector<uint8_t>> units;
  for (size_t k = 0; k < starts.size(); ++k) {
    size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : d.size();
    // The zero of a 4-byte start code belongs to the next unit's prefix.
    while (end > starts[k] && d[end - 1] == 0) --end;
    std::vector<uint8_t> u = {0, 0, 0, 1};
    u.insert(u.end(), d.begin() + long(starts[k]), d.begin() + long(end));
    units.push_back(std::move(u));
  }
  return units;
}

Clip LoadClip() {
  Clip clip;
  clip.units = SplitUnits(ReadFile(QNV_TEST_SAMPLE_CLIP));
  if (clip.units.empty()) throw std::runtime_error("sample clip missing");
  // The reference: the whole clip through libavcodec in one piece.
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  CodecPtr ctx(avcodec_alloc_context3(codec));
  ctx->thread_count = 1;
  avcodec_open2(ctx.get(), codec, nullptr);
  PacketPtr pkt(av_packet_alloc());
  auto drain = [&] {
    for (;;) {
      Picture f(av_frame_alloc());
      if (avcodec_receive_frame(ctx.get(), f.get()) != 0) break;
      clip.pictures.push_back(std::move(f));
    }
  };
  int picture = 0;
  std::vector<uint8_t> packet;  // parameter sets and SEI ride with the next picture
  for (const auto& u : clip.units) {
    const int32_t type = QNVNetFrameNal::TypeOf(u[4]);
    const bool vcl = type == QNVNetFrameNal::kTypeSlice || type == QNVNetFrameNal::kTypeIdr;
    clip.pictureOf.push_back(vcl ? picture++ : -1);
    packet.insert(packet.end(), u.begin(), u.end());
    if (!vcl) continue;
    // One slice per picture in this clip, so each picture is one packet.
    const size_t size = packet.size();
    packet.resize(size + AV_INPUT_BUFFER_PADDING_SIZE);
    pkt->data = packet.data();
    pkt->size = int(size);
    avcodec_send_packet(ctx.get(), pkt.get());
    drain();
    packet.clear();
  }
  pkt->data = nullptr;
  pkt->size = 0;
  avcodec_send_packet(ctx.get(), nullptr);
  drain();
  if (int(clip.pictures.size()) != picture) throw std::runtime_error("reference decode incomplete");
  return clip;
}

}  // namespace

size_t Clip::UnitOfPicture(int k) const {
  for (size_t i = 0; i < pictureOf.size(); ++i) {
    if (pictureOf[i] == k) return i;
  }
  throw std::out_of_range("no such picture");
}

const Clip& SampleClip() {
  static const Clip clip = LoadClip();
  return clip;
}

std::vector<uint8_t> WrapFrame(const std::vector<uint8_t>& payload, uint32_t counter,
                               bool withExtension, uint32_t extLength) {
  const size_t ext = withExtension ? qnv::protocol::kFrameExtLengthSize + extLength : 0;
  std::vector<uint8_t> f(qnv::protocol::kFrameHeaderSize + ext + payload.size(), 0xA5);
  qnv::platform::StoreLe32(f.data(), counter);
  std::memcpy(f.data() + qnv::protocol::kFrameMagicOffset, qnv::protocol::kFrameMagic, 4);
  qnv::platform::StoreLe32(f.data() + qnv::protocol::kFramePayloadLengthOffset,
                           uint32_t(payload.size()));
  f[qnv::protocol::kFrameExtFlagOffset] = withExtension ? 1 : 0;
  if (withExtension)
    qnv::platform::StoreLe32(f.data() + qnv::protocol::kFrameHeaderSize, extLength);
  if (!payload.empty()) {
    std::memcpy(f.data() + qnv::protocol::kFrameHeaderSize + ext, payload.data(), payload.size());
  }
  return f;
}

void FrameRunBytes::Add(const std::vector<uint8_t>& payload, bool withExtension,
                        uint32_t extLength) {
  std::vector<uint8_t> frame = WrapFrame(payload, count, withExtension, extLength);
  qnv::platform::StoreLe32(frame.data() + qnv::protocol::kFrameOffsetOffset, uint32_t(data.size()));
  records.insert(records.end(), frame.begin(), frame.begin() + qnv::protocol::kFrameHeaderSize);
  data.insert(data.end(), frame.begin() + qnv::protocol::kFrameHeaderSize, frame.end());
  ++count;
}

FrameRunBytes ClipRun(size_t from, size_t to, bool withExtension) {
  FrameRunBytes run;
  const Clip& clip = SampleClip();
  for (size_t i = from; i < to && i < clip.units.size(); ++i)
    run.Add(clip.units[i], withExtension, uint32_t(i % 3) * 17);
  return run;
}

Picture ReadImageFile(const std::string& path) {
  std::vector<uint8_t> data = ReadFile(path);
  if (data.size() < 4) return nullptr;
  AVCodecID id = AV_CODEC_ID_MJPEG;
  if (data[0] == 0x89 && data[1] == 'P') id = AV_CODEC_ID_PNG;
  if (data[0] == 'B' && data[1] == 'M') id = AV_CODEC_ID_BMP;
  if (id == AV_CODEC_ID_MJPEG && !(data[0] == 0xFF && data[1] == 0xD8)) return nullptr;
  const AVCodec* codec = avcodec_find_decoder(id);
  CodecPtr ctx(avcodec_alloc_context3(codec));
  ctx->thread_count = 1;
  if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return nullptr;
  const size_t size = data.size();
  data.resize(size + AV_INPUT_BUFFER_PADDING_SIZE);
  PacketPtr pkt(av_packet_alloc());
  pkt->data = data.data();
  pkt->size = int(size);
  if (avcodec_send_packet(ctx.get(), pkt.get()) < 0) return nullptr;
  avcodec_send_packet(ctx.get(), nullptr);
  Picture f(av_frame_alloc());
  if (avcodec_receive_frame(ctx.get(), f.get()) != 0) return nullptr;
  return f;
}

std::vector<uint8_t> ToRgb(const AVFrame& picture, int width, int height) {
  AVPixelFormat src = AVPixelFormat(picture.format);
  int srcFull = picture.color_range == AVCOL_RANGE_JPEG;
  if (src == AV_PIX_FMT_YUVJ420P) {
    src = AV_PIX_FMT_YUV420P;
    srcFull = 1;
  } else if (src == AV_PIX_FMT_YUVJ422P) {
    src = AV_PIX_FMT_YUV422P;
    srcFull = 1;
  } else if (src == AV_PIX_FMT_YUVJ444P) {
    src = AV_PIX_FMT_YUV444P;
    srcFull = 1;
  }
  SwsContext* c = sws_getContext(picture.width, picture.height, src, width, height,
                                 AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (c == nullptr) return {};
  const int* coefficients = sws_getCoefficients(SWS_CS_DEFAULT);
  sws_setColorspaceDetails(c, coefficients, srcFull, coefficients, 1, 0, 1 << 16, 1 << 16);
  std::vector<uint8_t> rgb(size_t(width) * size_t(height) * 3);
  uint8_t* planes[4] = {rgb.data(), nullptr, nullptr, nullptr};
  const int strides[4] = {width * 3, 0, 0, 0};
  sws_scale(c, picture.data, picture.linesize, 0, picture.height, planes, strides);
  sws_freeContext(c);
  return rgb;
}

double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size() || a.empty()) return 0;
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    const double d = double(a[i]) - double(b[i]);
    sum += d * d;
  }
  const double mse = sum / double(a.size());
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

double PsnrAgainstClip(const AVFrame& picture, int k) {
  const AVFrame& ref = *SampleClip().pictures.at(size_t(k));
  return Psnr(ToRgb(picture, picture.width, picture.height),
              ToRgb(ref, picture.width, picture.height));
}

int BestMatchingPicture(const AVFrame& picture, int from, int to) {
  // Compared small: enough to tell neighbouring pictures of the clip apart.
  constexpr int kW = 160, kH = 90;
  static const std::vector<std::vector<uint8_t>> references = [] {
    std::vector<std::vector<uint8_t>> r;
    for (const auto& p : SampleClip().pictures) r.push_back(ToRgb(*p, kW, kH));
    return r;
  }();
  const auto rgb = ToRgb(picture, kW, kH);
  int best = -1;
  double bestPsnr = -1;
  for (size_t k = size_t(std::max(from, 0)); k < references.size() && int(k) <= to; ++k) {
    const double p = Psnr(rgb, references[k]);
    if (p > bestPsnr) {
      bestPsnr = p;
      best = int(k);
    }
  }
  return best;
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/qnvplayer-test-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  m_path = buf.data();
}

TempDir::~TempDir() {
  if (DIR* d = opendir(m_path.c_str())) {
    while (dirent* e = readdir(d)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
        unlink(Path(e->d_name).c_str());
      }
    }
    closedir(d);
  }
  rmdir(m_path.c_str());
}

}  // namespace qnvtest
