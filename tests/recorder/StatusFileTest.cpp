// The status file: what any camera name or error text does to its layout
// (one line per camera, valid JSON whatever the bytes), and the figures past
// which the recorder warns about itself.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "integrations/StatusFile.h"
#include "nlohmann/json.hpp"

namespace qnvrecorder {
namespace {

TEST(StatusFile, HostileTextStaysOnItsLineAndParsesBack) {
  SCameraStatus cam;
  cam.name = "gate\"\n}, {\"name\": \"x\xff";
  cam.state = "down";
  cam.sinceUnix = 1700000000;
  cam.fault = {EFault::kRefused, "refused"};
  cam.lastError = std::string("line\nbreak\t\x01 and \xc3\xa9", 17);
  cam.failedAttempts = 3;
  SStatusHeader header;
  header.pid = 42;
  header.instance = "rec";
  header.process.fds = 17;
  header.process.rtspClients = 2;
  const std::string text = StatusJson(header, {cam, cam});
  std::istringstream lines(text);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) ++count;
  EXPECT_EQ(count, 4) << text;  // the header, two cameras, the end
  const nlohmann::json parsed = nlohmann::json::parse(text);
  ASSERT_EQ(parsed["cameras"].size(), 2u);
  EXPECT_EQ(parsed["process"]["fds"], 17);
  EXPECT_EQ(parsed["process"]["rtsp_clients"], 2);
  EXPECT_EQ(parsed["cameras"][0]["failed_attempts"], 3);
  EXPECT_EQ(parsed["cameras"][0]["reason"], "refused");
  EXPECT_EQ(parsed["cameras"][1]["last_error"].get<std::string>().substr(0, 10), "line\nbreak");
}

TEST(StatusFile, FiguresPastTheirBoundsAreNamed) {
  const SProcessBounds bounds = ProcessBoundsFor(8, 1024, 320, 64, 1000);
  SProcessStatus p;
  p.fds = 700;
  p.threads = 100;
  p.rssKiB = 100 * 1024;
  EXPECT_TRUE(OverBounds(p, bounds).empty());
  p.fds = 769;
  p.webConnections = 300;
  p.mqttQueue = 501;
  const auto over = OverBounds(p, bounds);
  ASSERT_EQ(over.size(), 3u);
  EXPECT_EQ(over[0], "descriptors 769 > 768");
  EXPECT_EQ(over[1], "web connections 300 > 288");
  EXPECT_EQ(over[2], "queued MQTT messages 501 > 500");
}

}  // namespace
}  // namespace qnvrecorder
