// Text and JSON forms of a recording's summary, for people and for scripts.
#ifndef QNVRECORDING_SUMMARYFORMAT_H
#define QNVRECORDING_SUMMARYFORMAT_H

#include <string>

#include "qnvrecording/CExporter.h"
#include "qnvrecording/CRecordingReader.h"

namespace qnvrec {

// exported (may be null) adds what an export wrote, to outputPath.
std::string SummaryText(const SRecordingSummary& s, double fps, const SExportResult* exported,
                        const std::string& outputPath);
std::string SummaryJson(const SRecordingSummary& s, double fps, const SExportResult* exported,
                        const std::string& outputPath);
std::string JsonString(const std::string& text);

}  // namespace qnvrec

#endif  // QNVRECORDING_SUMMARYFORMAT_H
