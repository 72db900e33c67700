#include "web/Thumbnail.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "qnvtools/SafeFile.h"
#include "qnvtools/UniqueFd.h"
#include "storage/CStorageRoot.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

namespace qnvrecorder {

using qnvtools::UniqueFd;
namespace {

constexpr size_t kMaxSnapshotBytes = 4u << 20;

struct SFree {
  void operator()(AVFormatContext* p) const { avformat_close_input(&p); }
  void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
  void operator()(AVFrame* p) const { av_frame_free(&p); }
  void operator()(AVPacket* p) const { av_packet_free(&p); }
  void operator()(SwsContext* p) const { sws_freeContext(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, SFree>;

bool Encode(const AVFrame* picture, std::string& jpeg, std::string& error) {
  const int width = std::min(kThumbnailWidth, picture->width);
  const int height = std::max(2, picture->height * width / std::max(1, picture->width)) & ~1;
  Owned<SwsContext> scale(
      sws_getContext(picture->width, picture->height, static_cast<AVPixelFormat>(picture->format),
                     width, height, AV_PIX_FMT_YUVJ420P, SWS_BILINEAR, nullptr, nullptr, nullptr));
  Owned<AVFrame> small(av_frame_alloc());
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
  Owned<AVCodecContext> encoder(codec ? avcodec_alloc_context3(codec) : nullptr);
  Owned<AVPacket> packet(av_packet_alloc());
  if (!scale || !small || !encoder || !packet) {
    error = "no JPEG encoder";
    return false;
  }
  small->format = AV_PIX_FMT_YUVJ420P;
  small->width = width;
  small->height = height;
  if (av_frame_get_buffer(small.get(), 0) < 0) {
    error = "out of memory";
    return false;
  }
  sws_scale(scale.get(), picture->data, picture->linesize, 0, picture->height, small->data,
            small->linesize);
  encoder->width = width;
  encoder->height = height;
  encoder->pix_fmt = AV_PIX_FMT_YUVJ420P;
  encoder->time_base = AVRational{1, 25};
  encoder->flags |= AV_CODEC_FLAG_QSCALE;
  encoder->global_quality = FF_QP2LAMBDA * 5;
  if (avcodec_open2(encoder.get(), codec, nullptr) < 0 ||
      avcodec_send_frame(encoder.get(), small.get()) < 0 ||
      avcodec_receive_packet(encoder.get(), packet.get()) < 0) {
    error = "the picture could not be made JPEG";
    return false;
  }
  jpeg.assign(reinterpret_cast<const char*>(packet->data), static_cast<size_t>(packet->size));
  return true;
}

}  // namespace

bool FindSnapshot(const std::string& root, const std::string& instance, const std::string& camera,
                  int64_t unixMs, std::string& jpeg) {
  // Through the one opener that follows no link and never waits on a FIFO:
  // a planted one must not hold the worker (and with it the stop).
  UniqueFd rootFd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!rootFd.Valid()) return false;
  UniqueFd folder = qnvtools::OpenFolderAt(
      rootFd.Get(), std::string(kReservedFolder) + "/" + instance + "/snapshots/" + camera);
  UniqueFd listFd(folder.Valid() ? ::dup(folder.Get()) : -1);
  DIR* dir = listFd.Valid() ? ::fdopendir(listFd.Get()) : nullptr;
  if (dir == nullptr) return false;
  listFd.Release();  // the listing owns it now
  std::string best;
  int64_t bestDistance = kSnapshotToleranceMs + 1;
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    // Exactly UNIXMS.jpg, 13 digits.
    if (name.size() != 17 || name.compare(13, 4, ".jpg") != 0 ||
        name.find_first_not_of("0123456789") != 13) {
      continue;
    }
    const int64_t ms = std::strtoll(name.c_str(), nullptr, 10);
    const int64_t distance = std::llabs(ms - unixMs);
    if (distance < bestDistance) {
      bestDistance = distance;
      best = name;
    }
  }
  ::closedir(dir);
  if (best.empty()) return false;
  UniqueFd fd = qnvtools::OpenRegularAt(folder.Get(), best, O_RDONLY);
  struct stat st {};
  if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0 ||
      static_cast<size_t>(st.st_size) > kMaxSnapshotBytes) {
    return false;
  }
  jpeg.resize(static_cast<size_t>(st.st_size));
  return ::pread(fd.Get(), jpeg.data(), jpeg.size(), 0) == static_cast<ssize_t>(jpeg.size());
}

bool DecodeThumbnail(const std::string& mp4Path, std::string& jpeg, std::string& error) {
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, mp4Path.c_str(), nullptr, nullptr) < 0) {
    error = "the recording's MP4 cannot be read";
    return false;
  }
  Owned<AVFormatContext> input(raw);
  if (avformat_find_stream_info(input.get(), nullptr) < 0) {
    error = "the recording's MP4 cannot be read";
    return false;
  }
  const AVCodec* codec = nullptr;
  const int index = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  Owned<AVCodecContext> decoder(codec ? avcodec_alloc_context3(codec) : nullptr);
  Owned<AVFrame> frame(av_frame_alloc());
  Owned<AVPacket> packet(av_packet_alloc());
  if (index < 0 || !decoder || !frame || !packet ||
      avcodec_parameters_to_context(decoder.get(), input->streams[index]->codecpar) < 0 ||
      avcodec_open2(decoder.get(), codec, nullptr) < 0) {
    error = "no decoder for the recording";
    return false;
  }
  // The first picture at or after time zero (an edit list's lead-in is
  // decoded, not shown).
  bool sent = true;
  while (sent) {
    sent = av_read_frame(input.get(), packet.get()) >= 0;
    if (sent && packet->stream_index != index) {
      av_packet_unref(packet.get());
      continue;
    }
    avcodec_send_packet(decoder.get(), sent ? packet.get() : nullptr);
    if (sent) av_packet_unref(packet.get());
    while (avcodec_receive_frame(decoder.get(), frame.get()) >= 0) {
      const int64_t t = frame->best_effort_timestamp;
      if (t == AV_NOPTS_VALUE || t >= 0 || !sent) return Encode(frame.get(), jpeg, error);
      av_frame_unref(frame.get());
    }
  }
  error = "no picture at that time";
  return false;
}

}  // namespace qnvrecorder
