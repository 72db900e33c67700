// CVideoWriter: where an export puts its pictures. Begin opens the output
// once the first decodable picture is known, Write takes one access unit at a
// time in decoding order, Finish completes and closes the file. An
// implementation owns its output file; one thread.
#ifndef QNVRECORDING_CVIDEOWRITER_H
#define QNVRECORDING_CVIDEOWRITER_H

#include <cstdint>
#include <string>

#include "qnvrecording/CAccessUnitBuilder.h"
#include "qnvrecording/H264Nal.h"

namespace qnvrec {

// How the pictures' times are counted: units of num/den seconds; each unit's
// pts is in these units. frameDuration is the length given to the last
// picture; fps, when not 0, is a constant frame rate the file may state.
struct STimeBase {
  int num = 1;
  int den = 25;
  int64_t frameDuration = 1;
  double fps = 25;
};

class CVideoWriter {
 public:
  CVideoWriter() = default;
  virtual ~CVideoWriter() = default;
  CVideoWriter(const CVideoWriter&) = delete;
  CVideoWriter& operator=(const CVideoWriter&) = delete;

  // sps and pps are the parameter sets the first picture refers to.
  virtual bool Begin(const SNalRef& sps, const SNalRef& pps, const STimeBase& time,
                     std::string& error) = 0;
  virtual bool Write(const SAccessUnit& unit, std::string& error) = 0;
  virtual bool Finish(std::string& error) = 0;
};

}  // namespace qnvrec

#endif  // QNVRECORDING_CVIDEOWRITER_H
