#include "web/CFmp4Muxer.h"

#include <cstdio>
#include <cstring>

#include "qnvrecording/CMp4Writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/mem.h>
}

#include "qnvrecording/CMp4Writer.h"

namespace qnvrecorder {
namespace {

constexpr int kTimescale = 90000;
constexpr int kIoBufferSize = 64 * 1024;

std::string AvError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

}  // namespace

CFmp4Muxer::~CFmp4Muxer() { Release(); }

void CFmp4Muxer::Release() {
  if (m_context != nullptr) avformat_free_context(m_context);
  m_context = nullptr;
  if (m_io != nullptr) {
    av_freep(&m_io->buffer);
    avio_context_free(&m_io);
  }
  av_packet_free(&m_packet);
}

int CFmp4Muxer::WriteOut(void* opaque, uint8_t* data, int size) {
  auto* self = static_cast<CFmp4Muxer*>(opaque);
  if (self->m_out != nullptr) self->m_out->append(reinterpret_cast<const char*>(data), size);
  return size;
}

bool CFmp4Muxer::Begin(const qnvrec::SNalRef& sps, const qnvrec::SNalRef& pps, std::string& init,
                       std::string& error) {
  Release();
  m_lastTicks = -1;
  if (sps.size < 4) {
    error = "the sequence parameter set is too short";
    return false;
  }
  m_mime = qnvrec::Mp4MimeType(sps);
  int rc = avformat_alloc_output_context2(&m_context, nullptr, "mp4", nullptr);
  if (rc < 0 || m_context == nullptr) {
    error = "cannot set up the MP4 muxer: " + AvError(rc);
    return false;
  }
  auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferSize));
  m_io = buffer ? avio_alloc_context(buffer, kIoBufferSize, 1, this, nullptr, &WriteOut, nullptr)
                : nullptr;
  AVStream* stream = avformat_new_stream(m_context, nullptr);
  m_packet = av_packet_alloc();
  if (m_io == nullptr || stream == nullptr || m_packet == nullptr) {
    if (m_io == nullptr) av_free(buffer);
    error = "out of memory";
    return false;
  }
  m_io->seekable = 0;
  m_context->pb = m_io;
  m_context->flags |= AVFMT_FLAG_CUSTOM_IO;
  if (!qnvrec::SetH264Parameters(stream->codecpar, sps, pps, error)) return false;
  stream->time_base = AVRational{1, kTimescale};

  AVDictionary* options = nullptr;
  // An empty moov, then a fragment whenever Write asks for one; offsets
  // counted from each moof, as MSE wants.
  av_dict_set(&options, "movflags", "+frag_custom+empty_moov+default_base_moof", 0);
  m_out = &init;
  rc = avformat_write_header(m_context, &options);
  av_dict_free(&options);
  if (rc >= 0) avio_flush(m_io);
  m_out = nullptr;
  if (rc < 0) {
    error = "cannot write the MP4 header: " + AvError(rc);
    Release();
    return false;
  }
  return true;
}

bool CFmp4Muxer::Write(const qnvrec::SAccessUnit& unit, int64_t timeUs, int64_t durationUs,
                       std::string& fragment, std::string& error) {
  if (m_context == nullptr) {
    error = "the stream has not begun";
    return false;
  }
  int64_t ticks = timeUs * kTimescale / 1000000;
  if (ticks <= m_lastTicks) ticks = m_lastTicks + 1;
  m_lastTicks = ticks;
  int rc = av_new_packet(m_packet, static_cast<int>(unit.annexB.size()));
  if (rc < 0) {
    error = "out of memory";
    return false;
  }
  std::memcpy(m_packet->data, unit.annexB.data(), unit.annexB.size());
  m_packet->stream_index = 0;
  m_packet->pts = m_packet->dts = ticks;
  m_packet->duration = std::max<int64_t>(1, durationUs * kTimescale / 1000000);
  if (unit.key) m_packet->flags |= AV_PKT_FLAG_KEY;
  m_out = &fragment;
  rc = av_write_frame(m_context, m_packet);
  av_packet_unref(m_packet);
  if (rc >= 0) rc = av_write_frame(m_context, nullptr);  // the fragment, now
  if (rc >= 0) avio_flush(m_io);
  m_out = nullptr;
  if (rc < 0) {
    error = "cannot make a fragment: " + AvError(rc);
    return false;
  }
  return true;
}

}  // namespace qnvrecorder
