// CMp4Writer: writes an export as an MP4 file through libavformat's "mp4"
// muxer: one sample per access unit at the time the exporter gives it (so a
// hole in the recording stays a hole in time), IDR samples marked as sync
// samples, the first SPS and PPS as the decoder configuration, the index at
// the front (fast start) so playback can begin before the whole file is
// read. Owns the muxer and its file; one thread. A file not finished is
// removed when the writer goes away.
#ifndef QNVRECORDING_CMP4WRITER_H
#define QNVRECORDING_CMP4WRITER_H

#include <cstdint>
#include <string>

#include "qnvrecording/CVideoWriter.h"

struct AVCodecParameters;
struct AVFormatContext;
struct AVPacket;

namespace qnvrec {

// An H.264 stream's parameters for libavformat's muxers: picture size and
// profile from the SPS, the parameter sets (Annex B) as extradata, which the
// MP4 muxer makes its avcC box of. False with a message.
bool SetH264Parameters(AVCodecParameters* par, const SNalRef& sps, const SNalRef& pps,
                       std::string& error);

class CMp4Writer : public CVideoWriter {
 public:
  explicit CMp4Writer(std::string path) : m_path(std::move(path)) {}
  ~CMp4Writer() override;

  // Before Begin: the file's creation time (UTC microseconds; 0: none), and
  // how much of the start, in the time base's units, playback leaves out (an
  // edit list: those pictures are there for decoding, not shown).
  void SetCreationTime(int64_t us) { m_creationUs = us; }
  void SetLeadIn(int64_t units) { m_leadIn = units; }
  // Before Begin: fragmented MP4 as Media Source Extensions take it (an
  // empty moov, then a moof and mdat per key picture; no index at the end).
  void SetFragmented(bool fragmented) { m_fragmented = fragmented; }

  bool Begin(const SNalRef& sps, const SNalRef& pps, const STimeBase& time,
             std::string& error) override;
  bool Write(const SAccessUnit& unit, std::string& error) override;
  bool Finish(std::string& error) override;

 private:
  void Release();
  // Writes the held packet, lasting until `nextPts`.
  bool WriteHeld(int64_t nextPts, std::string& error);

  std::string m_path;
  STimeBase m_time;
  AVFormatContext* m_context = nullptr;
  AVPacket* m_packet = nullptr;  // the latest picture, held until the next one's time is known
  bool m_held = false;
  int64_t m_lastPts = -1;
  int64_t m_creationUs = 0;
  int64_t m_leadIn = 0;
  bool m_fileOpen = false;
  bool m_fragmented = false;
};

}  // namespace qnvrec

#endif  // QNVRECORDING_CMP4WRITER_H
