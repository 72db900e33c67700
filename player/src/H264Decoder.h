// H264Decoder: libavcodec's H.264 parser and decoder, single-threaded. Takes
// Annex B bytes in pieces of any size (one NAL unit per call is the usual
// case), keeps the newest decoded picture. One thread at a time; the owner
// serialises calls.
#ifndef QNVPLAYER_H264DECODER_H
#define QNVPLAYER_H264DECODER_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "FfmpegPtr.h"

namespace qnv::player {

class H264Decoder {
 public:
  // Null when libavcodec has no H.264 decoder or is out of memory. With
  // threads > 1, libavcodec decodes that many pictures at once (frame
  // threads): more throughput, but each thread adds a picture of delay, so
  // the newest picture appears only at a later Feed.
  static std::unique_ptr<H264Decoder> Create(int threads = 1);
  H264Decoder(const H264Decoder&) = delete;
  H264Decoder& operator=(const H264Decoder&) = delete;

  // Decodes what the bytes complete; returns the number of new pictures.
  // The bytes must be followed by kCodedFramePadding readable bytes.
  // The parser only knows a picture is complete when the next one begins,
  // so the last picture fed waits for Flush or for the next frame.
  int Feed(const uint8_t* data, size_t size);
  // Hands the picture the parser still holds to the decoder. Feeding may
  // continue afterwards.
  int Flush();
  // True when bytes were fed since the last Flush.
  bool Pending() const { return m_pending; }

  // The newest picture, or null before the first one. Valid until the next
  // Feed or Flush.
  const AVFrame* Latest() const { return m_hasPicture ? m_latest.get() : nullptr; }
  uint64_t Pictures() const { return m_pictures; }

 private:
  H264Decoder() = default;
  int Decode(const uint8_t* data, int size);

  CodecContextPtr m_context;
  ParserPtr m_parser;
  PacketPtr m_packet;
  FramePtr m_work;
  FramePtr m_latest;
  bool m_hasPicture = false;
  bool m_pending = false;
  uint64_t m_pictures = 0;
};

}  // namespace qnv::player

#endif  // QNVPLAYER_H264DECODER_H
