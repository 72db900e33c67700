// qnvctl: a command-line host for networked video-analytics devices, built
// only on the SDK's public header (QNVNetSdk.h) and shared library, the way
// any application would use them. Each command is one short, commented
// function in the files named below, so it doubles as example code:
//   ControlCommands.cpp  info, config, cmd, ptz, rules, algo
//   FirmwareCommand.cpp  firmware upload (progress while the export blocks)
//   LiveCommands.cpp     record, snapshot, watch (stream callback, Ctrl-C)
//   ViewCommand.cpp      view (an X11 window handed to the SDK)
//   ExportCommand.cpp    export (recording to MP4)
//   CDemo.cpp            demo (everything, against a simulated device)
#include <cstdio>
#include <string>
#include <vector>

#include "CCommandLine.h"
#include "CReporter.h"
#include "Commands.h"
#include "Files.h"
#include "QNVNetSdk.h"
#include "Selectors.h"

namespace {

using namespace qnvctl;

const std::string kConfigGetHelp =
    "Reads a configuration item into FILE (-o) or shows it as a hex dump.\nSelectors: " +
    SelectorList(SelectorKind::kConfigGet) + " (13 is the device information block, see 'info').\n";
const std::string kConfigSetHelp =
    "Sends FILE (at most 4,076 bytes) as a configuration item.\nSelectors: " +
    SelectorList(SelectorKind::kConfigSet) + ".\n";
const std::string kCmdHelp =
    "Sends a system command, with FILE's bytes (at most 4,076) as its data if given.\n"
    "Selectors: " +
    SelectorList(SelectorKind::kCommand) + " (11 reboots the simulated device).\n";
const std::string kAlgoGetHelp = "Selectors: " + SelectorList(SelectorKind::kAlgoGet) + ".\n";
const std::string kAlgoSetHelp =
    "Sends FILE (at most 4,076 bytes).\nSelectors: " + SelectorList(SelectorKind::kAlgoSet) + ".\n";

const SOptionSpec kOutFile = {"-o", "FILE", "write the bytes to FILE instead of showing them"};

const std::vector<SCommandSpec>& Commands() {
  static const std::vector<SCommandSpec> commands = {
      {"info",
       "",
       "show the device information block and the SDK version",
       "Reads configuration selector 13 and shows model, firmware version, serial\n"
       "number, installed image size and CRC-32 and ports (as the simulated device lays\n"
       "them out), then the raw block as a hex dump.\n",
       {},
       0,
       0,
       &RunInfo},
      {"config get",
       "SEL [-o FILE]",
       "read a configuration item",
       kConfigGetHelp.c_str(),
       {kOutFile},
       1,
       1,
       &RunConfigGet},
      {"config set",
       "SEL FILE",
       "write a configuration item from FILE",
       kConfigSetHelp.c_str(),
       {},
       2,
       2,
       &RunConfigSet},
      {"cmd", "SEL [FILE]", "send a system command", kCmdHelp.c_str(), {}, 1, 2, &RunSysCommand},
      {"ptz move",
       "V1 V2 V3 V4",
       "send a PTZ move (four device-defined values)",
       "The simulated device reads {command, a1, a2, a3}: 1 tilt up, 2 tilt down,\n"
       "3 pan left, 4 pan right, 5 zoom in, 6 zoom out by a1 steps; 7 absolute pan a1,\n"
       "tilt a2, zoom a3; 0 stop.\n",
       {},
       4,
       4,
       &RunPtzMove},
      {"ptz preset",
       "V1 V2",
       "send a PTZ preset action (two device-defined values)",
       "The simulated device reads {action, number}: 1 store, 2 recall, 3 clear;\n"
       "number 1..255.\n",
       {},
       2,
       2,
       &RunPtzPreset},
      {"ptz param",
       "TYPE",
       "read a PTZ parameter block",
       "Types: 0 position {pan, tilt, zoom}, 1 preset table, 2 limits. The block is\n"
       "also shown as a list of 32-bit numbers.\n",
       {},
       1,
       1,
       &RunPtzParam},
      {"rules download",
       "FILE",
       "save the device's analysis rules to FILE",
       "",
       {},
       1,
       1,
       &RunRulesDownload},
      {"rules upload",
       "FILE",
       "send analysis rules from FILE (at most 4,076 bytes)",
       "",
       {},
       1,
       1,
       &RunRulesUpload},
      {"rules enable", "on|off", "switch rule processing on or off", "", {}, 1, 1, &RunRulesEnable},
      {"rules state", "", "show whether rule processing is on", "", {}, 0, 0, &RunRulesState},
      {"algo get",
       "SEL [-o FILE]",
       "read algorithm parameters",
       kAlgoGetHelp.c_str(),
       {kOutFile},
       1,
       1,
       &RunAlgoGet},
      {"algo set",
       "SEL FILE",
       "write algorithm parameters from FILE",
       kAlgoSetHelp.c_str(),
       {},
       2,
       2,
       &RunAlgoSet},
      {"firmware upload",
       "FILE [--start]",
       "upload a firmware image (and install it with --start)",
       "Shows a progress bar while the image is sent in 3,072-byte chunks. --start\n"
       "then asks the device to install it and waits for its answer (up to 6 minutes).\n",
       {{"--start", nullptr, "install the image once it is uploaded"},
        {"--allow-empty", nullptr, "send an empty image (refused otherwise)"}},
       1,
       1,
       &RunFirmwareUpload},
      {"record",
       "OUT.dat [--seconds N]",
       "record live video to OUT.dat and its index OUT.idx",
       "Opens a live channel and records it, showing elapsed time, frames, bytes and\n"
       "key frames. Ctrl-C stops cleanly: the files are closed complete and can be\n"
       "exported. The recording starts with the channel's pre-record stretch. When the\n"
       "camera is lost (its stream stalls, it stops answering, a connection breaks)\n"
       "the files are closed complete, one line names the camera and the reason and\n"
       "says how much video the files hold by their capture times, and the exit\n"
       "status is 1.\n",
       {{"--seconds", "N", "stop after N seconds (default: at Ctrl-C)"},
        {"--stall-seconds", "N",
         "take the camera as lost when no frame came for N\n"
         "                      seconds (default 10; 0 waits for ever)"},
        {"--pre-seconds", "N",
         "keep N seconds (at most 120) of video before the recording\n"
         "                      opens: the channel gathers them for N s, in whole groups\n"
         "                      of pictures, so the file starts with a key frame and its\n"
         "                      parameter sets and goes on without a gap (default 0;\n"
         "                      5 with --on-event)"},
        {"--on-event", nullptr,
         "record one clip per device event instead, named\n"
         "                      OUT-YYYYmmdd-HHMMSS-ruleR.dat (UTC): it starts\n"
         "                      --pre-seconds before the event and ends --post-seconds\n"
         "                      after the latest event; --seconds bounds the whole run"},
        {"--post-seconds", "N",
         "with --on-event: seconds kept after the latest event (default 5)"}},
       1,
       1,
       &RunRecord},
      {"snapshot",
       "OUT.jpg",
       "save the live picture (.jpg, .png or .bmp)",
       "Opens a live channel without a window and captures the picture from the first\n"
       "key frame it receives (waiting up to 5 s for one).\n",
       {},
       1,
       1,
       &RunSnapshot},
      {"view",
       "",
       "show live video in an X11 window",
       "Runs until the window is closed, q is pressed, or Ctrl-C.\n",
       {{"--seconds", "N", "close after N seconds"},
        {"--size", "WxH", "window size (default 960x540)"}},
       0,
       0,
       &RunView},
      {"watch",
       "",
       "show live stream statistics per channel",
       "Prints frames/s, bit rate, key-frame spacing and gaps in the device's frame\n"
       "counter every interval, until Ctrl-C or --seconds. With --json: one JSON object\n"
       "per channel and interval, then a final summary object. A camera that is lost\n"
       "(its stream stalls, it stops answering, a connection breaks) ends the watch:\n"
       "one line names it and the reason, and the exit status is 1.\n",
       {{"--seconds", "N", "stop after N seconds"},
        {"--stall-seconds", "N",
         "take a camera as lost when no frame came for N seconds\n"
         "                      (default 10; 0 waits for ever)"},
        {"--interval", "S", "seconds between reports (default 1)"},
        {"--channels", "N", "watch N channels at once, each on its own session (1..16)"}},
       0,
       0,
       &RunWatch},
      {"events",
       "",
       "print device messages (analytics events) as they arrive",
       "Logs in and prints each device message: time since start, client id, and the\n"
       "decoded fields when the message is the simulated device's rule alarm (rule,\n"
       "channel, capture time, object box, sequence number), else its bytes in hex.\n"
       "Ends on Ctrl-C, after --seconds, or when the device connection is lost (exit\n"
       "status 1). With --json: one JSON object per message.\n",
       {{"--seconds", "N", "stop after N seconds"}},
       0,
       0,
       &RunEvents},
      {"export",
       "IN.dat OUT.mp4",
       "check a recording and export it to MP4 (or .h264)",
       "Works on files only; connection options are ignored.\n",
       {{"--fps", "RATE", "frame rate of the video (default 25)"}},
       2,
       2,
       &RunExport},
      {"demo",
       "",
       "run the whole tour against a simulated device (under a minute)",
       "Starts a simulated device on a free loopback port, logs in, shows the device\n"
       "information, moves the PTZ, uploads and installs a generated 1 MiB firmware\n"
       "image, records live video with pre-record, takes a snapshot, exports the\n"
       "recording to MP4 and checks everything. Connection options are ignored.\n",
       {{"--out", "DIR", "directory for the files (default ./qnv-demo-out)"},
        {"--clip", "PATH", "H.264 clip the device streams (default data/sample.h264)"},
        {"--seconds", "N", "record N seconds (default 10)"},
        {"--pre-seconds", "N", "live seconds before the recording opens (default 3)"},
        {"--firmware-size", "BYTES", "size of the generated image (default 1048576)"}},
       0,
       0,
       &RunDemo},
  };
  return commands;
}

}  // namespace

int main(int argc, char** argv) {
  CCommandLine commandLine(Commands());
  CInvocation inv;
  std::string error;
  bool json = false;
  for (int i = 1; i < argc; ++i) json = json || std::string(argv[i]) == "--json";
  if (!commandLine.Parse(argc, argv, inv, error)) {
    CReporter out(json);
    return out.Usage(error, inv.command ? inv.command->words : "");
  }
  if (inv.Has("--version")) {
    uint32_t version = 0;
    QNVNet_GetSdkVersion(&version);
    std::printf("qnvctl %s (QNVNetSdk library %u.%u)\n", QNVCTL_VERSION, version >> 24,
                (version >> 16) & 0xFF);
    return kExitOk;
  }
  if (inv.help) {
    std::fputs(inv.command ? CCommandLine::CommandHelp(*inv.command).c_str()
                           : commandLine.Overview().c_str(),
               stdout);
    return kExitOk;
  }
  if (!inv.command) {
    std::fputs(commandLine.Overview().c_str(), stderr);
    return kExitUsage;
  }
  // An output FILE that is a FIFO, device or directory is refused before
  // anything reaches the device.
  if (std::string refusal; inv.Has("-o") && !CheckOutputPath(inv.Value("-o"), refusal))
    return CReporter(inv.json).Failure(refusal);
  return inv.command->run(inv);
}
