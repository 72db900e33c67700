// CAnnexBWriter: writes an export as a raw H.264 elementary stream (Annex B,
// 4-byte start codes), as players and ffmpeg read .h264 files. Owns the file;
// one thread. A file not finished is removed when the writer goes away.
#ifndef QNVRECORDING_CANNEXBWRITER_H
#define QNVRECORDING_CANNEXBWRITER_H

#include <cstdio>
#include <memory>
#include <string>

#include "qnvrecording/CVideoWriter.h"

namespace qnvrec {

class CAnnexBWriter : public CVideoWriter {
 public:
  explicit CAnnexBWriter(std::string path) : m_path(std::move(path)) {}
  ~CAnnexBWriter() override;

  bool Begin(const SNalRef& sps, const SNalRef& pps, const STimeBase& time,
             std::string& error) override;
  bool Write(const SAccessUnit& unit, std::string& error) override;
  bool Finish(std::string& error) override;

 private:
  struct SFileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
  };
  std::string m_path;
  std::unique_ptr<FILE, SFileCloser> m_file;
};

}  // namespace qnvrec

#endif  // QNVRECORDING_CANNEXBWRITER_H
