// Text and JSON forms of a recording's summary, for people and for scripts.
#ifndef QNVRECORDING_SUMMARYFORMAT_H
#define QNVRECORDING_SUMMARYFORMAT_H

#include <string>
#include <string_view>

#include "qnvrecording/CExporter.h"
#include "qnvrecording/CRecordingReader.h"

namespace qnvrec {

// The recording's length in seconds, timed as an export with these options
// would time it; source receives where the times come from.
double RecordingSeconds(const SRecordingSummary& s, const SExportOptions& options,
                        ETimeSource& source);

// exported (may be null) adds what an export wrote, to outputPath.
std::string SummaryText(const SRecordingSummary& s, const SExportOptions& options,
                        const SExportResult* exported, const std::string& outputPath);
std::string SummaryJson(const SRecordingSummary& s, const SExportOptions& options,
                        const SExportResult* exported, const std::string& outputPath);
// A JSON string literal. asciiOnly also escapes every byte from 0x7F up, for
// texts that need not be UTF-8 (device texts): the output then always parses.
std::string JsonString(std::string_view text, bool asciiOnly = false);

}  // namespace qnvrec

#endif  // QNVRECORDING_SUMMARYFORMAT_H
