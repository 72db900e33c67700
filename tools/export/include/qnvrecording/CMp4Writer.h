// CMp4Writer: writes an export as an MP4 file through libavformat's "mp4"
// muxer: one sample per access unit, timestamps n / fps, IDR samples marked as
// sync samples, the first SPS and PPS as the decoder configuration. Owns the
// muxer and its file; one thread. A file not finished is removed when the
// writer goes away.
#ifndef QNVRECORDING_CMP4WRITER_H
#define QNVRECORDING_CMP4WRITER_H

#include <cstdint>
#include <string>

#include "qnvrecording/CVideoWriter.h"

struct AVFormatContext;
struct AVPacket;

namespace qnvrec {

class CMp4Writer : public CVideoWriter {
 public:
  CMp4Writer(std::string path, double fps) : path_(std::move(path)), fps_(fps) {}
  ~CMp4Writer() override;

  bool Begin(const SNalRef& sps, const SNalRef& pps, std::string& error) override;
  bool Write(const SAccessUnit& unit, std::string& error) override;
  bool Finish(std::string& error) override;

 private:
  void Release();

  std::string path_;
  double fps_;
  AVFormatContext* context_ = nullptr;
  AVPacket* packet_ = nullptr;
  int rateNum_ = 0;  // the frame rate as a fraction
  int rateDen_ = 1;
  int64_t next_ = 0;  // index of the next sample
  bool fileOpen_ = false;
};

}  // namespace qnvrec

#endif  // QNVRECORDING_CMP4WRITER_H
