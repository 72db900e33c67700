#include "Mp4Probe.h"

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace qnvctl {

bool ProbeMp4(const std::string& path, SMp4Probe& out, std::string& error) {
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) {
    error = "cannot open " + path + " as a video file";
    return false;
  }
  auto closer = [](AVFormatContext* c) { avformat_close_input(&c); };
  std::unique_ptr<AVFormatContext, decltype(closer)> context(raw, closer);
  if (avformat_find_stream_info(context.get(), nullptr) < 0) {
    error = path + ": no stream information";
    return false;
  }
  const int stream = av_find_best_stream(context.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (stream < 0) {
    error = path + ": no video stream";
    return false;
  }
  const AVStream* video = context->streams[stream];
  out.width = video->codecpar->width;
  out.height = video->codecpar->height;
  out.codec = avcodec_get_name(video->codecpar->codec_id);
  if (video->duration > 0) out.seconds = video->duration * av_q2d(video->time_base);
  std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(),
                                                        [](AVPacket* p) { av_packet_free(&p); });
  if (!packet) {
    error = "out of memory";
    return false;
  }
  while (av_read_frame(context.get(), packet.get()) >= 0) {
    if (packet->stream_index == stream) ++out.packets;
    av_packet_unref(packet.get());
  }
  return true;
}

}  // namespace qnvctl
