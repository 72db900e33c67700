#include "web/CFmp4Muxer.h"

#include <cstdio>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/mem.h>
}

namespace qnvrecorder {
namespace {

constexpr int kTimescale = 90000;
constexpr int kIoBufferSize = 64 * 1024;
constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

std::string AvError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

}  // namespace

CFmp4Muxer::~CFmp4Muxer() { Release(); }

void CFmp4Muxer::Release() {
  if (context_ != nullptr) avformat_free_context(context_);
  context_ = nullptr;
  if (io_ != nullptr) {
    av_freep(&io_->buffer);
    avio_context_free(&io_);
  }
  av_packet_free(&packet_);
}

int CFmp4Muxer::WriteOut(void* opaque, uint8_t* data, int size) {
  auto* self = static_cast<CFmp4Muxer*>(opaque);
  if (self->out_ != nullptr) self->out_->append(reinterpret_cast<const char*>(data), size);
  return size;
}

bool CFmp4Muxer::Begin(const qnvrec::SNalRef& sps, const qnvrec::SNalRef& pps, std::string& init,
                       std::string& error) {
  Release();
  lastTicks_ = -1;
  qnvrec::SSpsInfo info;
  if (sps.size < 4 || !qnvrec::ParseSps(sps, info)) {
    error = "cannot read the picture size from the sequence parameter set";
    return false;
  }
  char codecs[64];
  std::snprintf(codecs, sizeof codecs, "video/mp4; codecs=\"avc1.%02x%02x%02x\"", sps.data[1],
                sps.data[2], sps.data[3]);
  mime_ = codecs;
  int rc = avformat_alloc_output_context2(&context_, nullptr, "mp4", nullptr);
  if (rc < 0 || context_ == nullptr) {
    error = "cannot set up the MP4 muxer: " + AvError(rc);
    return false;
  }
  auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferSize));
  io_ = buffer ? avio_alloc_context(buffer, kIoBufferSize, 1, this, nullptr, &WriteOut, nullptr)
               : nullptr;
  AVStream* stream = avformat_new_stream(context_, nullptr);
  packet_ = av_packet_alloc();
  if (io_ == nullptr || stream == nullptr || packet_ == nullptr) {
    if (io_ == nullptr) av_free(buffer);
    error = "out of memory";
    return false;
  }
  io_->seekable = 0;
  context_->pb = io_;
  context_->flags |= AVFMT_FLAG_CUSTOM_IO;
  AVCodecParameters* par = stream->codecpar;
  par->codec_type = AVMEDIA_TYPE_VIDEO;
  par->codec_id = AV_CODEC_ID_H264;
  par->width = info.width;
  par->height = info.height;
  par->profile = info.profile;
  par->level = info.level;
  // Annex B parameter sets; the muxer makes its avcC box of them.
  const size_t size = 2 * sizeof kStartCode + sps.size + pps.size;
  par->extradata = static_cast<uint8_t*>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
  if (par->extradata == nullptr) {
    error = "out of memory";
    return false;
  }
  uint8_t* p = par->extradata;
  std::memcpy(p, kStartCode, 4);
  std::memcpy(p + 4, sps.data, sps.size);
  std::memcpy(p + 4 + sps.size, kStartCode, 4);
  std::memcpy(p + 8 + sps.size, pps.data, pps.size);
  par->extradata_size = static_cast<int>(size);
  stream->time_base = AVRational{1, kTimescale};

  AVDictionary* options = nullptr;
  // An empty moov, then a fragment whenever Write asks for one; offsets
  // counted from each moof, as MSE wants.
  av_dict_set(&options, "movflags", "+frag_custom+empty_moov+default_base_moof", 0);
  out_ = &init;
  rc = avformat_write_header(context_, &options);
  av_dict_free(&options);
  if (rc >= 0) avio_flush(io_);
  out_ = nullptr;
  if (rc < 0) {
    error = "cannot write the MP4 header: " + AvError(rc);
    Release();
    return false;
  }
  return true;
}

bool CFmp4Muxer::Write(const qnvrec::SAccessUnit& unit, int64_t timeUs, int64_t durationUs,
                       std::string& fragment, std::string& error) {
  if (context_ == nullptr) {
    error = "the stream has not begun";
    return false;
  }
  int64_t ticks = timeUs * kTimescale / 1000000;
  if (ticks <= lastTicks_) ticks = lastTicks_ + 1;
  lastTicks_ = ticks;
  int rc = av_new_packet(packet_, static_cast<int>(unit.annexB.size()));
  if (rc < 0) {
    error = "out of memory";
    return false;
  }
  std::memcpy(packet_->data, unit.annexB.data(), unit.annexB.size());
  packet_->stream_index = 0;
  packet_->pts = packet_->dts = ticks;
  packet_->duration = std::max<int64_t>(1, durationUs * kTimescale / 1000000);
  if (unit.key) packet_->flags |= AV_PKT_FLAG_KEY;
  out_ = &fragment;
  rc = av_write_frame(context_, packet_);
  av_packet_unref(packet_);
  if (rc >= 0) rc = av_write_frame(context_, nullptr);  // the fragment, now
  if (rc >= 0) avio_flush(io_);
  out_ = nullptr;
  if (rc < 0) {
    error = "cannot make a fragment: " + AvError(rc);
    return false;
  }
  return true;
}

}  // namespace qnvrecorder
