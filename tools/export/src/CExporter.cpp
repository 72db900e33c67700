#include "qnvrecording/CExporter.h"

#include "qnvrecording/CAccessUnitBuilder.h"
#include "qnvrecording/H264Nal.h"

namespace qnvrec {

bool CExporter::Run(SExportResult& result, std::string& error, const Progress& progress) {
  result = SExportResult{};
  std::string writeError;
  CAccessUnitBuilder builder([&](const SAccessUnit& unit) {
    if (!writer_.Write(unit, writeError)) return false;
    ++result.pictures;
    if (unit.key) ++result.keyPictures;
    result.bytes += unit.annexB.size();
    return true;
  });

  std::vector<uint8_t> sps, pps, body;
  bool started = false;
  const size_t total = reader_.FrameCount();
  for (size_t i = 0; i < total; ++i) {
    if (!reader_.ReadBody(i, body, error)) return false;
    const uint8_t* payload;
    size_t length;
    reader_.Payload(i, body, payload, length);
    for (const SNalRef& nal : SplitAnnexB(payload, length)) {
      if (!started) {
        // Until the first IDR that can be decoded, only parameter sets matter.
        if (nal.Type() == kNalSps) sps.assign(nal.data, nal.data + nal.size);
        if (nal.Type() == kNalPps) pps.assign(nal.data, nal.data + nal.size);
        if (nal.Type() != kNalIdr || sps.empty() || pps.empty()) continue;
        const SNalRef spsRef{sps.data(), sps.size()}, ppsRef{pps.data(), pps.size()};
        if (!writer_.Begin(spsRef, ppsRef, error)) return false;
        started = true;
        result.firstFrame = i;
        result.skippedFrames = i;
        builder.Add(spsRef);
        builder.Add(ppsRef);
      }
      if (!builder.Add(nal)) {
        error = writeError;
        return false;
      }
    }
    if (progress && (i % 256 == 0 || i + 1 == total)) progress(i + 1, total);
  }
  if (!started) {
    error = "nothing to export: no IDR picture with its SPS and PPS in " + std::to_string(total) +
            " frames";
    return false;
  }
  if (!builder.Finish()) {
    error = writeError;
    return false;
  }
  return writer_.Finish(error);
}

}  // namespace qnvrec
