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
  bool unfinished = context_ != nullptr;
  Release();
  if (unfinished) std::remove(path_.c_str());
}

void CMp4Writer::Release() {
  if (context_ != nullptr && fileOpen_) avio_closep(&context_->pb);
  fileOpen_ = false;
  avformat_free_context(context_);
  context_ = nullptr;
  av_packet_free(&packet_);
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
  time_ = time;
  int rc = avformat_alloc_output_context2(&context_, nullptr, "mp4", path_.c_str());
  if (rc < 0 || context_ == nullptr) {
    error = "cannot set up the MP4 muxer: " + AvError(rc);
    return false;
  }
  AVStream* stream = avformat_new_stream(context_, nullptr);
  packet_ = av_packet_alloc();
  if (stream == nullptr || packet_ == nullptr) {
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

  rc = avio_open(&context_->pb, path_.c_str(), AVIO_FLAG_WRITE);
  if (rc < 0) {
    error = "cannot create " + path_ + ": " + AvError(rc);
    return false;
  }
  fileOpen_ = true;
  if (creationUs_ != 0) {
    // The muxer reads ISO 8601 with microseconds.
    av_dict_set(&context_->metadata, "creation_time", UtcText(creationUs_).c_str(), 0);
  }
  AVDictionary* options = nullptr;
  av_dict_set(
      &options, "movflags",
      fragmented_ ? "+frag_keyframe+empty_moov+default_base_moof+skip_trailer" : "+faststart", 0);
  rc = avformat_write_header(context_, &options);
  av_dict_free(&options);
  if (rc < 0) {
    error = "cannot write the MP4 header: " + AvError(rc);
    return false;
  }
  return true;
}

bool CMp4Writer::WriteHeld(int64_t nextPts, std::string& error) {
  if (!held_) return true;
  held_ = false;
  AVStream* stream = context_->streams[0];
  packet_->duration = nextPts - packet_->pts;
  // A lead-in is written before time zero: the muxer turns negative times
  // into an edit list that starts playback at zero.
  packet_->pts -= leadIn_;
  packet_->dts -= leadIn_;
  av_packet_rescale_ts(packet_, AVRational{time_.num, time_.den}, stream->time_base);
  int rc = av_write_frame(context_, packet_);
  av_packet_unref(packet_);
  if (rc < 0) {
    error = "cannot write " + path_ + ": " + AvError(rc);
    return false;
  }
  return true;
}

bool CMp4Writer::Write(const SAccessUnit& unit, std::string& error) {
  // Times must rise; a picture that would not is placed one tick after the last.
  const int64_t pts = unit.pts > lastPts_ ? unit.pts : lastPts_ + 1;
  if (!WriteHeld(pts, error)) return false;
  int rc = av_new_packet(packet_, int(unit.annexB.size()));
  if (rc < 0) {
    error = "out of memory";
    return false;
  }
  std::memcpy(packet_->data, unit.annexB.data(), unit.annexB.size());
  packet_->stream_index = 0;
  packet_->pts = pts;
  packet_->dts = pts;
  if (unit.key) packet_->flags |= AV_PKT_FLAG_KEY;
  held_ = true;
  lastPts_ = pts;
  return true;
}

bool CMp4Writer::Finish(std::string& error) {
  if (context_ == nullptr) return true;
  if (!WriteHeld(lastPts_ + time_.frameDuration, error)) return false;
  int rc = av_write_trailer(context_);
  if (rc < 0) error = "cannot finish " + path_ + ": " + AvError(rc);
  if (rc >= 0 && context_->pb != nullptr && context_->pb->error < 0) {
    rc = context_->pb->error;
    error = "cannot write " + path_ + ": " + AvError(rc);
  }
  int closed = avio_closep(&context_->pb);
  fileOpen_ = false;
  if (rc >= 0 && closed < 0) {
    rc = closed;
    error = "cannot write " + path_ + ": " + AvError(closed);
  }
  Release();
  if (rc < 0) std::remove(path_.c_str());
  return rc >= 0;
}

}  // namespace qnvrec
