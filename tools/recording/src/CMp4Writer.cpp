#include "qnvrecording/CMp4Writer.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

#include "qnvrecording/TimeText.h"

namespace qnvrec {

namespace {

std::string AvError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

}  // namespace

CMp4Writer::~CMp4Writer() {
  bool unfinished = m_context != nullptr;
  Release();
  if (unfinished) std::remove(m_path.c_str());
}

void CMp4Writer::Release() {
  if (m_context != nullptr && m_fileOpen) avio_closep(&m_context->pb);
  m_fileOpen = false;
  avformat_free_context(m_context);
  m_context = nullptr;
  av_packet_free(&m_packet);
}

bool SetH264Parameters(AVCodecParameters* par, const SNalRef& sps, const SNalRef& pps,
                       std::string& error) {
  SSpsInfo info;
  if (!ParseSps(sps, info)) {
    error = "cannot read the picture size from the sequence parameter set";
    return false;
  }
  par->codec_type = AVMEDIA_TYPE_VIDEO;
  par->codec_id = AV_CODEC_ID_H264;
  par->width = info.width;
  par->height = info.height;
  par->profile = info.profile;
  par->level = info.level;
  // Annex B parameter sets; the muxer turns them into its avcC box.
  size_t size = 2 * sizeof kStartCode + sps.size + pps.size;
  par->extradata = static_cast<uint8_t*>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
  if (par->extradata == nullptr) {
    error = "out of memory";
    return false;
  }
  uint8_t* p = par->extradata;
  std::memcpy(p, kStartCode, sizeof kStartCode);
  std::memcpy(p + 4, sps.data, sps.size);
  std::memcpy(p + 4 + sps.size, kStartCode, sizeof kStartCode);
  std::memcpy(p + 8 + sps.size, pps.data, pps.size);
  par->extradata_size = int(size);
  return true;
}

bool CMp4Writer::Begin(const SNalRef& sps, const SNalRef& pps, const STimeBase& time,
                       std::string& error) {
  SSpsInfo info;  // refused before anything is made
  if (!ParseSps(sps, info)) {
    error = "cannot read the picture size from the sequence parameter set";
    return false;
  }
  if (time.num <= 0 || time.den <= 0 || time.frameDuration <= 0) {
    error = "unusable time base";
    return false;
  }
  m_time = time;
  int rc = avformat_alloc_output_context2(&m_context, nullptr, "mp4", m_path.c_str());
  if (rc < 0 || m_context == nullptr) {
    error = "cannot set up the MP4 muxer: " + AvError(rc);
    return false;
  }
  AVStream* stream = avformat_new_stream(m_context, nullptr);
  m_packet = av_packet_alloc();
  if (stream == nullptr || m_packet == nullptr) {
    error = "out of memory";
    return false;
  }
  if (!SetH264Parameters(stream->codecpar, sps, pps, error)) return false;
  stream->time_base = AVRational{time.num, time.den};
  if (time.fps > 0) {
    const AVRational rate = av_d2q(time.fps, 1000000);
    stream->avg_frame_rate = rate;
    stream->r_frame_rate = rate;
  }

  rc = avio_open(&m_context->pb, m_path.c_str(), AVIO_FLAG_WRITE);
  if (rc < 0) {
    error = "cannot create " + m_path + ": " + AvError(rc);
    return false;
  }
  m_fileOpen = true;
  if (m_creationUs != 0) {
    // The muxer reads ISO 8601 with microseconds.
    av_dict_set(&m_context->metadata, "creation_time", UtcText(m_creationUs).c_str(), 0);
  }
  AVDictionary* options = nullptr;
  av_dict_set(
      &options, "movflags",
      m_fragmented ? "+frag_keyframe+empty_moov+default_base_moof+skip_trailer" : "+faststart", 0);
  rc = avformat_write_header(m_context, &options);
  av_dict_free(&options);
  if (rc < 0) {
    error = "cannot write the MP4 header: " + AvError(rc);
    return false;
  }
  return true;
}

bool CMp4Writer::WriteHeld(int64_t nextPts, std::string& error) {
  if (!m_held) return true;
  m_held = false;
  AVStream* stream = m_context->streams[0];
  m_packet->duration = nextPts - m_packet->pts;
  // A lead-in is written before time zero: the muxer turns negative times
  // into an edit list that starts playback at zero.
  m_packet->pts -= m_leadIn;
  m_packet->dts -= m_leadIn;
  av_packet_rescale_ts(m_packet, AVRational{m_time.num, m_time.den}, stream->time_base);
  int rc = av_write_frame(m_context, m_packet);
  av_packet_unref(m_packet);
  if (rc < 0) {
    error = "cannot write " + m_path + ": " + AvError(rc);
    return false;
  }
  return true;
}

bool CMp4Writer::Write(const SAccessUnit& unit, std::string& error) {
  // Times must rise; a picture that would not is placed one tick after the last.
  const int64_t pts = unit.pts > m_lastPts ? unit.pts : m_lastPts + 1;
  if (!WriteHeld(pts, error)) return false;
  int rc = av_new_packet(m_packet, int(unit.annexB.size()));
  if (rc < 0) {
    error = "out of memory";
    return false;
  }
  std::memcpy(m_packet->data, unit.annexB.data(), unit.annexB.size());
  m_packet->stream_index = 0;
  m_packet->pts = pts;
  m_packet->dts = pts;
  if (unit.key) m_packet->flags |= AV_PKT_FLAG_KEY;
  m_held = true;
  m_lastPts = pts;
  return true;
}

bool CMp4Writer::Finish(std::string& error) {
  if (m_context == nullptr) return true;
  if (!WriteHeld(m_lastPts + m_time.frameDuration, error)) return false;
  int rc = av_write_trailer(m_context);
  if (rc < 0) error = "cannot finish " + m_path + ": " + AvError(rc);
  if (rc >= 0 && m_context->pb != nullptr && m_context->pb->error < 0) {
    rc = m_context->pb->error;
    error = "cannot write " + m_path + ": " + AvError(rc);
  }
  int closed = avio_closep(&m_context->pb);
  m_fileOpen = false;
  if (rc >= 0 && closed < 0) {
    rc = closed;
    error = "cannot write " + m_path + ": " + AvError(closed);
  }
  Release();
  if (rc < 0) std::remove(m_path.c_str());
  return rc >= 0;
}

}  // namespace qnvrec
