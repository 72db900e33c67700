// CFmp4Muxer: H.264 pictures into fragmented MP4 in memory, as a browser's
// Media Source Extensions take it: an initialisation segment (ftyp, moov
// without samples) and then one fragment (moof, mdat) per picture, each
// carrying its own decode time. Made by libavformat's "mp4" muxer writing
// into a buffer. Owns the muxer; one thread at a time.
#pragma once

#include <cstdint>
#include <string>

#include "qnvrecording/CAccessUnitBuilder.h"
#include "qnvrecording/H264Nal.h"

struct AVFormatContext;
struct AVIOContext;
struct AVPacket;

namespace qnvrecorder {

class CFmp4Muxer {
 public:
  CFmp4Muxer() = default;
  ~CFmp4Muxer();
  CFmp4Muxer(const CFmp4Muxer&) = delete;
  CFmp4Muxer& operator=(const CFmp4Muxer&) = delete;

  // Starts the stream; init receives the initialisation segment.
  bool Begin(const qnvrec::SNalRef& sps, const qnvrec::SNalRef& pps, std::string& init,
             std::string& error);
  // One picture, decode time and duration in microseconds from the stream's
  // start (times that do not rise are moved one tick past the last);
  // fragment receives its moof and mdat.
  bool Write(const qnvrec::SAccessUnit& unit, int64_t timeUs, int64_t durationUs,
             std::string& fragment, std::string& error);
  // The MIME type with codecs for MediaSource.isTypeSupported, e.g.
  // video/mp4; codecs="avc1.4d401e".
  const std::string& MimeType() const { return m_mime; }

 private:
  static int WriteOut(void* opaque, uint8_t* data, int size);  // the muxer's writes
  void Release();

  AVFormatContext* m_context = nullptr;
  AVIOContext* m_io = nullptr;
  AVPacket* m_packet = nullptr;
  std::string* m_out = nullptr;  // where the muxer's bytes go now
  int64_t m_lastTicks = -1;
  std::string m_mime;
};

}  // namespace qnvrecorder
