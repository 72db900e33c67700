// Steps several commands share: starting the SDK and logging in, and reading
// a block through one of the SDK's "get" exports.
#ifndef QNVCTL_COMMANDSUPPORT_H
#define QNVCTL_COMMANDSUPPORT_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "CCommandLine.h"
#include "CDeviceSession.h"
#include "CReporter.h"
#include "CSdkLibrary.h"

namespace qnvctl {

// The most a get export returns, and the most a set export may send.
constexpr int32_t kGetCapacity = 4096;
constexpr size_t kMaxSendBytes = 4076;

// Starts the SDK and logs in. On failure reports it and returns false with
// exitCode set.
bool Connect(const CInvocation& inv, const CReporter& out, CSdkLibrary& sdk,
             CDeviceSession& session, int& exitCode);

// Runs a get export with a 4,096-byte buffer: fills data with the reply's
// bytes (cut to 4,096) and reportedLength with the length the SDK reported.
using GetCall = std::function<uint32_t(void* buffer, int32_t& length)>;
uint32_t GetBlock(const GetCall& call, std::vector<uint8_t>& data, int32_t& reportedLength);

// Shows a block read by a get export: written to outFile when one is given,
// else as a hex dump (text) or hex string (JSON). Adds to the JSON result.
// Returns false (after reporting) when the file cannot be written.
bool ShowBlock(const CReporter& out, const std::string& title, const std::vector<uint8_t>& data,
               int32_t reportedLength, const std::string& outFile, CJsonObject& json);

// Reads a FILE argument that is to be sent to the device (at most 4,076
// bytes). Reports and returns false on failure.
bool ReadSendFile(const CReporter& out, const std::string& path, std::vector<uint8_t>& data);

}  // namespace qnvctl

#endif  // QNVCTL_COMMANDSUPPORT_H
