// The commands of qnvctl. Each takes the parsed invocation and returns the
// exit status (kExitOk, kExitFailed, kExitUsage).
#ifndef QNVCTL_COMMANDS_H
#define QNVCTL_COMMANDS_H

#include <string>

#include "CCommandLine.h"
#include "CReporter.h"

namespace qnvctl {

// ControlCommands.cpp: one request each.
int RunInfo(const CInvocation& inv);
int RunConfigGet(const CInvocation& inv);
int RunConfigSet(const CInvocation& inv);
int RunSysCommand(const CInvocation& inv);
int RunPtzMove(const CInvocation& inv);
int RunPtzPreset(const CInvocation& inv);
int RunPtzParam(const CInvocation& inv);
int RunRulesDownload(const CInvocation& inv);
int RunRulesUpload(const CInvocation& inv);
int RunRulesEnable(const CInvocation& inv);
int RunRulesState(const CInvocation& inv);
int RunAlgoGet(const CInvocation& inv);
int RunAlgoSet(const CInvocation& inv);

// FirmwareCommand.cpp
int RunFirmwareUpload(const CInvocation& inv);

// LiveCommands.cpp: live video without a window.
int RunRecord(const CInvocation& inv);
int RunSnapshot(const CInvocation& inv);
int RunWatch(const CInvocation& inv);

// ViewCommand.cpp
int RunView(const CInvocation& inv);

// EventsCommand.cpp: device messages as they arrive.
int RunEvents(const CInvocation& inv);

// ExportCommand.cpp
int RunExport(const CInvocation& inv);

// DemoCommand.cpp
int RunDemo(const CInvocation& inv);

// EventClips.cpp: record --on-event, a clip per device event, preSeconds
// before and postSeconds after the latest event; clips named after path. A
// stream without a frame for stallSeconds (0: never) ends the run.
int RecordOnEvents(const CInvocation& inv, const CReporter& out, const std::string& path,
                   double seconds, double preSeconds, double postSeconds, double stallSeconds);

}  // namespace qnvctl

#endif  // QNVCTL_COMMANDS_H
