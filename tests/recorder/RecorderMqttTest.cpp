// qnv-recorder's MQTT part against a real mosquitto broker started by the
// test (password file, TLS from a throw-away CA): what each topic carries,
// the snapshot as a picture, Home Assistant discovery, a broker killed for
// 10 s, the will of a killed recorder. And its pieces directly: the JPEG
// reader, the snapshot store's names and limits, the [mqtt] checks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <thread>

#include "MqttBroker.h"
#include "RecorderFixture.h"
#include "config/Config.h"
#include "integrations/ICameraAccess.h"
#include "integrations/mqtt/CMqttBridge.h"
#include "integrations/mqtt/CSnapshotStore.h"
#include "integrations/mqtt/MqttPayloads.h"

namespace fs = std::filesystem;
using namespace qnvrectest;
using Json = nlohmann::json;

namespace {

const std::regex kIsoMs(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");

std::string MqttSection(const MqttBroker& broker, const std::string& extra = "") {
  return "[mqtt]\nhost = \"127.0.0.1\"\nport = " + std::to_string(broker.Port()) + "\n" + extra +
         "\n";
}

SBrokerOptions PasswordBroker(const std::string& user, const std::string& password) {
  SBrokerOptions options;
  options.user = user;
  options.password = password;
  return options;
}

Json Parse(const std::string& text) { return Json::parse(text, nullptr, false); }

// The keys Home Assistant's MQTT discovery needs of each entity type used,
// and those every entity of ours carries so it can be edited and removed.
void ExpectDiscovery(const Json& j, const std::string& type, const std::string& prefix) {
  ASSERT_TRUE(j.is_object()) << type;
  for (const char* key : {"name", "unique_id", "availability_topic", "device"}) {
    EXPECT_TRUE(j.contains(key)) << type << " lacks " << key;
  }
  EXPECT_EQ(j["availability_topic"], prefix + "/available");
  EXPECT_TRUE(j["device"]["identifiers"].is_array() && !j["device"]["identifiers"].empty());
  if (type == "binary_sensor") {
    EXPECT_TRUE(j["state_topic"].is_string());
    EXPECT_EQ(j["payload_on"], "ON");
    EXPECT_EQ(j["payload_off"], "OFF");
    EXPECT_TRUE(j["off_delay"].is_number_integer());
  } else if (type == "camera") {
    EXPECT_TRUE(j["topic"].is_string());
  } else if (type == "sensor") {
    EXPECT_TRUE(j["state_topic"].is_string());
    EXPECT_TRUE(j["value_template"].is_string());
  }
}

// Width x height of a JPEG as ffprobe decodes it ("" when it does not).
std::string DecodedSize(const fs::path& jpeg) {
  const qnvtest::ChildResult r =
      qnvtest::ChildProcess::Run({"/usr/bin/ffprobe", "-v", "error", "-show_entries",
                                  "stream=width,height", "-of", "csv=p=0:s=x", jpeg.string()});
  const qnvtest::ChildResult d = qnvtest::ChildProcess::Run(
      {"/usr/bin/ffmpeg", "-v", "error", "-i", jpeg.string(), "-f", "null", "-"});
  if (r.exitCode != 0 || d.exitCode != 0 || !d.err.empty()) return "";
  return r.out.substr(0, r.out.find('\n'));
}

class RecorderMqtt : public RecorderService {
 protected:
  // A device that raises an alarm every intervalMs.
  qnv::devsim::Simulator& AddAlarmingDevice(uint32_t intervalMs) {
    qnv::devsim::SimulatorOptions device;
    device.alarmIntervalMs = intervalMs;
    return AddDevice(device);
  }
};

TEST_F(RecorderMqtt, EventsStatesSegmentsSnapshotsAndDiscoveryReachAPasswordBroker) {
  MqttBroker broker(m_dir / "broker", PasswordBroker("rec", "s3cret-pw"));
  ASSERT_TRUE(broker.Start());
  MqttListener listen(broker, {"qnv/#", "homeassistant/#"}, false, "rec", "s3cret-pw");
  ASSERT_TRUE(listen.WaitConnected(1, 5000));
  auto& one = AddDevice();
  auto& two = AddDevice();
  const fs::path root = m_dir / "store";
  const fs::path pw = m_dir / "mqtt.password";
  std::ofstream(pw) << "s3cret-pw\n";
  fs::permissions(pw, fs::perms::owner_read | fs::perms::owner_write);
  const std::string config =
      StorageSection(root, 3600) +
      MqttSection(broker, "user = \"rec\"\npassword_file = \"" + pw.string() +
                              "\"\nsnapshot_seconds = 1\noff_seconds = 2") +
      Camera("cam1", one.Port());
  StartRecorder(config + Camera("cam2", two.Port(), "snapshots = false"));
  ASSERT_TRUE(WaitCount("mqtt: connected", 1, 10000)) << m_recorder->Stderr();
  ASSERT_TRUE(WaitCount("camera cam1: recording", 1, 10000)) << m_recorder->Stderr();
  EXPECT_FALSE(listen.WaitTopic("qnv/available", "online", 5000).topic.empty());
  const SReceived up = listen.WaitFor(
      [](const SReceived& m) { return m.topic == "qnv/cam1/state" && m.retained == false; }, 5000);
  ASSERT_FALSE(up.topic.empty());
  EXPECT_EQ(Parse(up.payload)["state"], "up");
  EXPECT_TRUE(Parse(up.payload)["reason"].is_null());
  EXPECT_TRUE(std::regex_match(Parse(up.payload)["since"].get<std::string>(), kIsoMs));

  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // a group of pictures is held
  const auto sent = std::chrono::steady_clock::now();
  one.RaiseAlarm(7);
  const SReceived event =
      listen.WaitFor([](const SReceived& m) { return m.topic == "qnv/cam1/event"; }, 5000);
  ASSERT_FALSE(event.topic.empty()) << m_recorder->Stderr();
  EXPECT_LT(event.at - sent, std::chrono::seconds(1));
  const Json e = Parse(event.payload);
  EXPECT_EQ(e["camera"], "cam1");
  EXPECT_EQ(e["rule"], 7);
  EXPECT_EQ(e["channel"], 1);
  EXPECT_TRUE(std::regex_match(e["time"].get<std::string>(), kIsoMs));
  EXPECT_TRUE(std::regex_match(e["capture_time"].get<std::string>(), kIsoMs));
  for (const char* k : {"x", "y", "width", "height"}) EXPECT_TRUE(e["box"][k].is_number()) << k;
  EXPECT_EQ(e["box"]["width"], 1280 / 8);
  // The first event already knows the stream's picture (its SPS), before any snapshot.
  ASSERT_TRUE(e["picture"].is_object()) << event.payload;
  EXPECT_EQ(e["picture"]["width"], 1280);
  EXPECT_EQ(e["picture"]["height"], 720);
  ASSERT_TRUE(e["clip"].is_string());
  EXPECT_TRUE(fs::exists(e["clip"].get<std::string>())) << e["clip"];
  EXPECT_FALSE(listen.WaitTopic("qnv/cam1/rule/7", "ON", 2000).topic.empty());

  // The snapshot: a JPEG of the stream's picture, published and kept.
  const SReceived snap =
      listen.WaitFor([](const SReceived& m) { return m.topic == "qnv/cam1/snapshot"; }, 5000);
  ASSERT_FALSE(snap.topic.empty()) << m_recorder->Stderr();
  std::ofstream(m_dir / "snap.jpg", std::ios::binary) << snap.payload;
  EXPECT_EQ(DecodedSize(m_dir / "snap.jpg"), "1280x720");
  const fs::path kept = root / ".qnv-recorder" / "recorder" / "snapshots" / "cam1";
  size_t files = 0;
  for (const auto& f : fs::directory_iterator(kept)) {
    EXPECT_TRUE(qnvrecorder::CSnapshotStore::IsSnapshotName(f.path().filename())) << f.path();
    ++files;
  }
  EXPECT_EQ(files, 1u);
  // The next event knows the picture's size and gives the box relative to it.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  one.RaiseAlarm(7);
  const SReceived second = listen.WaitFor(
      [](const SReceived& m) {
        return m.topic == "qnv/cam1/event" && Parse(m.payload)["sequence"] == 2;
      },
      5000);
  ASSERT_FALSE(second.topic.empty());
  const Json e2 = Parse(second.payload);
  EXPECT_EQ(e2["picture"]["width"], 1280);
  EXPECT_DOUBLE_EQ(e2["box_relative"]["width"].get<double>(), 0.125);
  // off_seconds after the last alarm the rule's sensor goes off.
  EXPECT_FALSE(listen.WaitTopic("qnv/cam1/rule/7", "OFF", 5000).topic.empty());

  // A camera without snapshots gets none, and no camera entity. A device
  // raising alarms of ever new rules gets sensors for the first 64 only.
  for (uint32_t rule = 3; rule < 3 + 70; ++rule) two.RaiseAlarm(rule);
  EXPECT_TRUE(WaitCount("camera cam2: more than 64 rules raise alarms; rule 67", 1, 5000))
      << m_recorder->Stderr();
  EXPECT_FALSE(listen
                   .WaitFor(
                       [](const SReceived& m) {
                         return m.topic == "qnv/cam2/event" && Parse(m.payload)["rule"] == 72;
                       },
                       5000)
                   .topic.empty());
  EXPECT_TRUE(listen.Messages("homeassistant/binary_sensor/qnv_cam2/rule_67/config").empty());
  EXPECT_TRUE(listen.Messages("qnv/cam2/snapshot").empty());

  // Discovery: every entity type with the keys it needs.
  for (const auto& [topic, type] : std::vector<std::pair<std::string, std::string>>{
           {"homeassistant/binary_sensor/qnv_cam1/rule_7/config", "binary_sensor"},
           {"homeassistant/camera/qnv_cam1/snapshot/config", "camera"},
           {"homeassistant/sensor/qnv_cam1/state/config", "sensor"},
           {"homeassistant/sensor/qnv_cam2/state/config", "sensor"}}) {
    const SReceived d = listen.WaitFor([&](const SReceived& m) { return m.topic == topic; }, 3000);
    ASSERT_FALSE(d.topic.empty()) << topic;
    ExpectDiscovery(Parse(d.payload), type, "qnv");
  }
  EXPECT_EQ(
      Parse(
          listen.Messages("homeassistant/camera/qnv_cam1/snapshot/config").back().payload)["topic"],
      "qnv/cam1/snapshot");
  EXPECT_TRUE(listen.Messages("homeassistant/camera/qnv_cam2/snapshot/config").empty() ||
              listen.Messages("homeassistant/camera/qnv_cam2/snapshot/config").back().payload ==
                  "");

  // cam2 leaves the configuration: its entities and retained topics go.
  std::ofstream(m_dir / "recorder.toml") << config;
  m_recorder->Signal(SIGHUP);
  EXPECT_FALSE(
      listen.WaitTopic("homeassistant/sensor/qnv_cam2/state/config", "", 5000).topic.empty());
  EXPECT_FALSE(listen.WaitTopic("homeassistant/binary_sensor/qnv_cam2/rule_3/config", "", 5000)
                   .topic.empty());
  EXPECT_FALSE(listen.WaitTopic("qnv/cam2/state", "", 5000).topic.empty());

  // A clean stop: the segment, the camera down, then offline.
  const qnvtest::ChildResult result = Terminate();
  EXPECT_EQ(result.exitCode, 0) << result.err;
  const SReceived segment =
      listen.WaitFor([](const SReceived& m) { return m.topic == "qnv/cam1/segment"; }, 5000);
  ASSERT_FALSE(segment.topic.empty()) << result.err;
  const Json s = Parse(segment.payload);
  EXPECT_TRUE(fs::exists(s["path"].get<std::string>()));
  EXPECT_EQ(s["bytes"].get<uint64_t>(), fs::file_size(s["path"].get<std::string>()) +
                                            fs::file_size(s["index"].get<std::string>()));
  EXPECT_TRUE(std::regex_match(s["start"].get<std::string>(), kIsoMs));
  EXPECT_TRUE(std::regex_match(s["end"].get<std::string>(), kIsoMs));
  EXPECT_FALSE(listen.WaitTopic("qnv/available", "offline", 5000).topic.empty());
  const auto states = listen.Messages("qnv/cam1/state");
  EXPECT_EQ(Parse(states.back().payload)["reason"], "stopped");
}

TEST_F(RecorderMqtt, AWrongPasswordIsToldWithItsFix) {
  MqttBroker broker(m_dir / "broker", PasswordBroker("rec", "right"));
  ASSERT_TRUE(broker.Start());
  auto& one = AddDevice();
  StartRecorder("[rtsp]\nport = 0\n" +
                    MqttSection(broker, "user = \"rec\"\npassword_env = \"MQTT_PW\"") +
                    Camera("cam1", one.Port()),
                {{"MQTT_PW", "wrong"}});
  EXPECT_TRUE(WaitCount("refused the connection: Connection Refused: not authorised", 1, 10000))
      << m_recorder->Stderr();
  EXPECT_TRUE(WaitCount("password_file", 1, 100)) << m_recorder->Stderr();
  EXPECT_EQ(Terminate().exitCode, 0);
}

TEST_F(RecorderMqtt, CommandsReachTheDeviceAndAnythingElseIsRefused) {
  MqttBroker broker(m_dir / "broker", {});
  ASSERT_TRUE(broker.Start());
  auto publish = [&](const std::string& topic, const std::string& payload, bool retain = false) {
    std::vector<std::string> argv = {"/usr/bin/mosquitto_pub",
                                     "-h",
                                     "127.0.0.1",
                                     "-p",
                                     std::to_string(broker.Port()),
                                     "-q",
                                     "1",
                                     "-t",
                                     topic,
                                     "-m",
                                     payload};
    if (retain) argv.push_back("-r");
    EXPECT_EQ(qnvtest::ChildProcess::Run(argv).exitCode, 0) << topic;
  };
  // A command left retained on the broker is not run when the recorder
  // subscribes (it would run again at every connection).
  publish("qnv/cam1/record/set", R"({"seconds": 5})", true);
  auto& one = AddDevice();
  const fs::path root = m_dir / "store";
  StartRecorder("[storage]\nroot = \"" + root.string() + "\"\n" +
                MqttSection(broker, "commands = true\nsnapshots = false") +
                Camera("cam1", one.Port(), "mode = \"events\"\npre_seconds = 1\npost_seconds = 1"));
  ASSERT_TRUE(WaitCount("mqtt: connected", 1, 10000)) << m_recorder->Stderr();
  ASSERT_TRUE(WaitCount("camera cam1: connected", 1, 10000)) << m_recorder->Stderr();
  publish("qnv/cam1/ptz/set", R"({"pan": 10, "tilt": 20, "zoom": 3})");
  EXPECT_TRUE(WaitCount("command: PTZ to pan 10, tilt 20, zoom 3", 1, 5000))
      << m_recorder->Stderr();
  // The simulated device has no preset 9: its refusal is told.
  publish("qnv/cam1/ptz/set", R"({"preset": 9})");
  EXPECT_TRUE(WaitCount("command PTZ to preset 9 not done", 1, 5000)) << m_recorder->Stderr();
  publish("qnv/cam1/record/set", R"({"seconds": 2})");
  EXPECT_TRUE(WaitCount("camera cam1: recording", 1, 5000)) << m_recorder->Stderr();
  EXPECT_TRUE(WaitCount("camera cam1: closed", 1, 8000)) << m_recorder->Stderr();
  // Refused, each with a line: a wrong key, a value out of range, an unknown
  // camera, an oversized payload, no JSON (and the retained one above).
  publish("qnv/cam1/ptz/set", R"({"pan": 1})");
  publish("qnv/cam1/record/set", R"({"seconds": 99999})");
  publish("qnv/nobody/ptz/set", R"({"preset": 1})");
  publish("qnv/cam1/ptz/set", "{\"preset\": 1" + std::string(300, ' ') + "}");
  publish("qnv/cam1/record/set", "seconds=5");
  EXPECT_TRUE(WaitCount("refused a command", 5, 5000)) << m_recorder->Stderr();
  for (const char* why : {"expected {\"pan\"", "'seconds' must be a whole number", "retained",
                          "no camera of this name", "longer than 256 bytes"}) {
    EXPECT_NE(m_recorder->Stderr().find(why), std::string::npos) << why;
  }
  publish("qnv/cam1/record/set", "", true);  // the retained one off the broker again
  EXPECT_EQ(Terminate().exitCode, 0);
  EXPECT_EQ(Segments(root, "cam1").size(), 1u);  // the clip asked for, and only that
}

// TLS both ways: the broker's certificate checked against the test's CA, the
// recorder's client certificate required by the broker.
TEST_F(RecorderMqtt, ABrokerKilledFor10sOverTlsLosesNoRecordingAndNoEvent) {
  SBrokerOptions options;
  options.tls = options.clientCertificates = options.persistence = true;
  MqttBroker broker(m_dir / "broker", options);
  ASSERT_TRUE(broker.Start());
  MqttListener listen(broker, {"qnv/#"}, true);
  ASSERT_TRUE(listen.WaitConnected(1, 5000));
  auto& one = AddAlarmingDevice(200);
  const fs::path root = m_dir / "store";
  StartRecorder(StorageSection(root, 4) +
                MqttSection(broker, "ca_file = \"" + broker.CaFile() + "\"\ncert_file = \"" +
                                        broker.ClientCert() + "\"\nkey_file = \"" +
                                        broker.ClientKey() +
                                        "\"\nkeep_alive = 5\nsnapshots = false") +
                Camera("cam1", one.Port()));
  ASSERT_TRUE(WaitCount("mqtt: connected to 127.0.0.1:" + std::to_string(broker.Port()) + " (TLS)",
                        1, 10000))
      << m_recorder->Stderr();
  ASSERT_FALSE(listen.WaitFor([](const SReceived& m) { return m.topic == "qnv/cam1/event"; }, 5000)
                   .topic.empty());
  std::this_thread::sleep_for(std::chrono::seconds(2));  // a second for the broker's autosave
  broker.Kill(SIGKILL);
  std::this_thread::sleep_for(std::chrono::seconds(10));
  // The status tells the broker is away (rewritten every 2 s).
  std::ifstream status(root / ".qnv-recorder" / "recorder" / "status.json");
  const std::string header((std::istreambuf_iterator<char>(status)), {});
  EXPECT_NE(header.find("\"mqtt\": \"disconnected\""), std::string::npos) << header;
  ASSERT_TRUE(broker.Start());
  ASSERT_TRUE(WaitCount("mqtt: connected", 2, 40000)) << m_recorder->Stderr();
  ASSERT_TRUE(listen.WaitConnected(2, 10000));
  // Every alarm of the outage arrives after the reconnection: the events'
  // sequence numbers have no gap (the queue holds 1,000 messages; 50 came).
  std::this_thread::sleep_for(std::chrono::seconds(3));
  std::set<int> sequences;
  for (const SReceived& m : listen.Messages("qnv/cam1/event")) {
    sequences.insert(Parse(m.payload)["sequence"].get<int>());
  }
  ASSERT_GT(sequences.size(), 60u);
  const int first = *sequences.begin(), last = *sequences.rbegin();
  EXPECT_EQ(sequences.size(), size_t(last - first + 1)) << "events lost while the broker was away";
  EXPECT_EQ(Count(m_recorder->Stderr(), "dropped the oldest"), 0u);

  // The recorder is killed: the broker publishes its will.
  const size_t before = listen.Messages("qnv/available").size();
  m_recorder->Signal(SIGKILL);
  m_recorder->Finish(5000);
  const SReceived will = listen.WaitFor(
      [](const SReceived& m) { return m.topic == "qnv/available" && m.payload == "offline"; },
      15000, 0);
  EXPECT_FALSE(will.topic.empty());
  EXPECT_GT(listen.Messages("qnv/available").size(), before);
  // No recording was lost: the segments of the run abut, frame for frame.
  size_t boundaries = 0;
  auto segments = Segments(root, "cam1");
  DropKilledTail(segments);
  ExpectAbutting(segments, boundaries);
  EXPECT_GE(boundaries, 3u);
}

// A broker that stops reading (stopped, its socket open) holds up neither
// the recording nor the service's stop; once it goes on, so do the events.
TEST_F(RecorderMqtt, ABrokerThatStopsReadingHoldsUpNeitherRecordingNorStop) {
  MqttBroker broker(m_dir / "broker", SBrokerOptions{});
  ASSERT_TRUE(broker.Start());
  MqttListener listen(broker, {"qnv/#"});
  ASSERT_TRUE(listen.WaitConnected(1, 5000));
  auto& one = AddAlarmingDevice(20);
  const fs::path root = m_dir / "store";
  StartRecorder(StorageSection(root, 2) +
                MqttSection(broker, "keep_alive = 5\nsnapshot_seconds = 1") +
                Camera("cam1", one.Port()));
  ASSERT_TRUE(WaitCount("mqtt: connected", 1, 10000)) << m_recorder->Stderr();
  ASSERT_FALSE(listen.WaitFor([](const SReceived& m) { return m.topic == "qnv/cam1/event"; }, 5000)
                   .topic.empty());
  broker.Pause(true);
  const size_t before = Segments(root, "cam1").size();
  std::this_thread::sleep_for(std::chrono::seconds(12));
  EXPECT_GE(Segments(root, "cam1").size(), before + 4) << m_recorder->Stderr();
  broker.Pause(false);
  int last = 0;
  for (const SReceived& m : listen.Messages("qnv/cam1/event")) {
    last = std::max(last, Parse(m.payload)["sequence"].get<int>());
  }
  EXPECT_FALSE(listen
                   .WaitFor(
                       [&](const SReceived& m) {
                         return m.topic == "qnv/cam1/event" &&
                                Parse(m.payload)["sequence"].get<int>() > last;
                       },
                       30000)
                   .topic.empty());
  // Stopped again, and the service told to stop meanwhile: it does, in time.
  broker.Pause(true);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const auto start = std::chrono::steady_clock::now();
  const ChildResult result = Terminate();
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  broker.Pause(false);
  size_t boundaries = 0;
  ExpectAbutting(Segments(root, "cam1"), boundaries);
  EXPECT_GE(boundaries, 5u);
}

// ---- the pieces ----

TEST(MqttPieces, JpegSizeReadsFrameHeadersAndRefusesBrokenOnes) {
  using qnvrecorder::JpegSize;
  // SOI, an APP0 of 4 bytes, SOF0 with 240 x 320.
  std::vector<uint8_t> jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 0x00, 0x00, 0xFF,
                               0xC0, 0x00, 0x11, 0x08, 0x00, 0xF0, 0x01, 0x40, 0x03};
  ASSERT_TRUE(JpegSize(jpeg));
  EXPECT_EQ(JpegSize(jpeg)->width, 320);
  EXPECT_EQ(JpegSize(jpeg)->height, 240);
  for (size_t cut = 0; cut < 17; ++cut) {
    EXPECT_FALSE(JpegSize({jpeg.begin(), jpeg.begin() + cut})) << cut;
  }
  std::vector<uint8_t> zeroLength = jpeg;
  zeroLength[5] = 0;  // a segment length below 2 would loop forever
  EXPECT_FALSE(JpegSize(zeroLength));
  std::vector<uint8_t> huffman = jpeg;
  huffman[9] = 0xC4;  // DHT is no frame header
  EXPECT_FALSE(JpegSize(huffman));
}

// A box is given as fractions of the stream's picture, cut to it: a device
// whose boxes reach past its picture (or wrap a 32-bit sum) never yields a
// value outside 0..1, and says so.
TEST(MqttPieces, RelativeBoxIsCutToThePicture) {
  using qnvrecorder::RelativeBox;
  const qnvrecorder::SPictureSize picture{640, 360};
  const uint32_t inside[4] = {160, 90, 320, 180};
  auto r = RelativeBox(inside, picture);
  EXPECT_FALSE(r.clamped);
  EXPECT_DOUBLE_EQ(r.x, 0.25);
  EXPECT_DOUBLE_EQ(r.y, 0.25);
  EXPECT_DOUBLE_EQ(r.width, 0.5);
  EXPECT_DOUBLE_EQ(r.height, 0.5);
  const uint32_t edge[4] = {0, 0, 640, 360};  // the whole picture still fits
  EXPECT_FALSE(RelativeBox(edge, picture).clamped);
  const uint32_t past[4] = {878, 90, 160, 180};  // a 1280-wide box on the 640-wide clip
  r = RelativeBox(past, picture);
  EXPECT_TRUE(r.clamped);
  EXPECT_DOUBLE_EQ(r.x, 1.0);
  EXPECT_DOUBLE_EQ(r.width, 0.0);
  const uint32_t across[4] = {480, 300, 320, 180};
  r = RelativeBox(across, picture);
  EXPECT_TRUE(r.clamped);
  EXPECT_DOUBLE_EQ(r.x, 0.75);
  EXPECT_DOUBLE_EQ(r.width, 0.25);
  EXPECT_DOUBLE_EQ(r.height, 60.0 / 360);
  const uint32_t wraps[4] = {100, 100, UINT32_MAX, UINT32_MAX};
  r = RelativeBox(wraps, picture);
  EXPECT_TRUE(r.clamped);
  for (double v : {r.x, r.y, r.width, r.height}) {
    EXPECT_GE(v, 0.0);
    EXPECT_LE(v, 1.0);
  }
  EXPECT_DOUBLE_EQ(r.x + r.width, 1.0);
  // The event's JSON carries the cut box; box stays the device's.
  qnvrecorder::SEventNote note;
  note.camera = "cam";
  std::copy(std::begin(past), std::end(past), note.alarm.box);
  note.picture = picture;
  const Json e = Parse(qnvrecorder::EventJson(note));
  EXPECT_EQ(e["box"]["x"], 878);
  EXPECT_DOUBLE_EQ(e["box_relative"]["x"].get<double>(), 1.0);
  EXPECT_DOUBLE_EQ(e["box_relative"]["width"].get<double>(), 0.0);
}

// Commands are taken whole or refused: a NUL byte would otherwise end the
// JSON early and run what came before it.
TEST(MqttPieces, CommandsAreTakenWholeOrRefused) {
  using qnvrecorder::ParseCommand;
  std::string error;
  const auto preset = ParseCommand("ptz", R"({"preset": 1})", error);
  ASSERT_TRUE(preset) << error;
  EXPECT_EQ(preset->preset, 1u);
  for (const std::string& payload :
       {std::string("{\"preset\": 1}\0{\"preset\": 2, \"junk\": [", 37),
        std::string("{\"preset\": 1}\0", 14), std::string("{\"preset\"\0: 1}", 14),
        std::string("{\"preset\": 1} x"), std::string("{\"preset\": 1}{}")}) {
    error.clear();
    EXPECT_FALSE(ParseCommand("ptz", payload, error)) << payload.size();
    EXPECT_NE(error.find("not a JSON object"), std::string::npos) << error;
  }
}

// Cameras whose PTZ calls take kPtzMs each (a device slow to answer) and
// whose captures are at once.
class CSlowPtzCameras : public qnvrecorder::ICameraAccess {
 public:
  static constexpr int kPtzMs = 400;
  bool Capture(const std::string&, const std::string& path, std::string& error) override {
    const uint8_t jpeg[] = {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x11, 0x08, 0x00, 0xF0, 0x01, 0x40,
                            0x03, 0,    0,    0,    0,    0,    0,    0,    0,    0xFF, 0xD9};
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(jpeg), sizeof jpeg);
    error.clear();
    return true;
  }
  bool PtzMove(const std::string&, const uint32_t (&)[4], std::string&) override { return Slow(); }
  bool PtzPreset(const std::string&, uint32_t, uint32_t, std::string&) override { return Slow(); }
  bool RecordClip(const std::string&, double, std::string& error) override {
    error = "not here";
    return false;
  }
  std::atomic<int> ptzStarted{0};

 private:
  bool Slow() {
    ++ptzStarted;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPtzMs));
    return true;
  }
};

// A flood of valid PTZ commands to a device slow to answer leaves an
// alarm's snapshot on time, and the stop waits for one PTZ call at most.
TEST(MqttPieces, ACommandFloodNeverHoldsUpAnAlarmSnapshot) {
  const STempDir temp("mqtt-flood");
  ASSERT_FALSE(temp.path.empty());
  MqttBroker broker(temp.path / "broker", {});
  ASSERT_TRUE(broker.Start());
  CSlowPtzCameras cameras;
  qnvrecorder::SConfig config;
  config.mqtt.enabled = true;
  config.mqtt.port = broker.Port();
  config.mqtt.commands = true;
  config.mqtt.clientId = "qnv-flood-test";
  config.mqtt.discoveryPrefix = "";
  config.mqtt.snapshotSeconds = 0;
  qnvrecorder::SCameraConfig camera;
  camera.name = "cam1";
  camera.snapshots = true;
  config.cameras.push_back(camera);
  qnvrecorder::CMqttBridge bridge(cameras);
  bridge.Configure(config);
  using Clock = std::chrono::steady_clock;
  auto waitFor = [](const std::function<bool()>& done, int ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (!done() && Clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return done();
  };
  ASSERT_TRUE(waitFor([&] { return bridge.Counters().connected; }, 10000));

  // 12 commands: 4.8 s of PTZ calls, every one within the bound of 16 waiting.
  mosquitto* pub = mosquitto_new("flood", true, nullptr);
  ASSERT_NE(pub, nullptr);
  ASSERT_EQ(mosquitto_connect(pub, "127.0.0.1", broker.Port(), 10), MOSQ_ERR_SUCCESS);
  for (int i = 0; i < 12; ++i) {
    const std::string payload = "{\"preset\": " + std::to_string(i + 1) + "}";
    mosquitto_publish(pub, nullptr, "qnv/cam1/ptz/set", int(payload.size()), payload.data(), 1,
                      false);
  }
  for (int i = 0; i < 50; ++i) mosquitto_loop(pub, 10, 1);
  mosquitto_disconnect(pub);
  mosquitto_destroy(pub);
  ASSERT_TRUE(waitFor([&] { return cameras.ptzStarted >= 1; }, 5000));

  qnvrecorder::SAlarmEvent alarm;
  alarm.camera = "cam1";
  alarm.arrivedUnixMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
  const auto raised = Clock::now();
  bridge.AlarmEvent(alarm);
  EXPECT_TRUE(waitFor([&] { return bridge.Counters().snapshots == 1; }, 6000));
  const auto snapshotMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - raised).count();
  // Well below one PTZ call, let alone the 11 still waiting.
  EXPECT_LT(snapshotMs, CSlowPtzCameras::kPtzMs) << "the snapshot waited behind the commands";
  EXPECT_LT(cameras.ptzStarted, 12);

  const auto stopping = Clock::now();
  bridge.Stop();
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stopping).count(),
            CSlowPtzCameras::kPtzMs + 2500);
  broker.Kill();
}

TEST(MqttPieces, TimesAreUtcWithMilliseconds) {
  EXPECT_EQ(qnvrecorder::IsoTimeMs(0), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(qnvrecorder::IsoTimeMs(1796802820644), "2026-12-09T07:53:40.644Z");
  EXPECT_EQ(qnvrecorder::IsoTimeMs(-1), "1969-12-31T23:59:59.999Z");
}

TEST(MqttPieces, SnapshotStoreKeepsTheLastAndTouchesOnlyItsOwnNames) {
  const fs::path dir = fs::temp_directory_path() / ("qnvsnap-" + std::to_string(getpid()));
  fs::remove_all(dir);
  {
    qnvrecorder::CStorageRoot storage;
    std::string error;
    ASSERT_TRUE(storage.Open(dir.string(), "inst", error)) << error;
    const fs::path folder = dir / ".qnv-recorder" / "inst" / "snapshots" / "cam";
    qnvrecorder::CSnapshotStore store(&storage);
    auto write = [](const std::string& path, std::string&) {
      std::ofstream(path) << "\xFF\xD8picture";
      return true;
    };
    std::vector<uint8_t> jpeg;
    ASSERT_TRUE(store.Take("cam", 1000, write, jpeg, error)) << error;
    EXPECT_EQ(jpeg.size(), 9u);
    // Foreign files, a link and a crash's leftover beside the snapshots.
    std::ofstream(folder / "notes.txt") << "mine";
    fs::create_symlink("/etc/hostname", folder / "0000000000001.jpg");
    std::ofstream(folder / ".0000000000002.jpg.part") << "half";
    for (int64_t t = 2000; t < 2000 + int64_t(qnvrecorder::kSnapshotsKept) + 5; ++t) {
      ASSERT_TRUE(store.Take("cam", t, write, jpeg, error)) << error;
    }
    std::set<std::string> names;
    for (const auto& f : fs::directory_iterator(folder)) names.insert(f.path().filename());
    EXPECT_TRUE(names.count("notes.txt"));
    EXPECT_TRUE(fs::is_symlink(folder / "0000000000001.jpg"));
    EXPECT_FALSE(names.count(".0000000000002.jpg.part"));
    EXPECT_FALSE(names.count(qnvrecorder::CSnapshotStore::FileName(1000)));
    EXPECT_TRUE(names.count(qnvrecorder::CSnapshotStore::FileName(2000 + 54)));
    EXPECT_EQ(names.size(), qnvrecorder::kSnapshotsKept + 2);  // + notes.txt + the link
    // A capture that fails or is too large leaves nothing.
    auto fail = [](const std::string&, std::string& why) {
      why = "no picture";
      return false;
    };
    EXPECT_FALSE(store.Take("cam", 9000, fail, jpeg, error));
    EXPECT_EQ(error, "no picture");
    auto huge = [](const std::string& path, std::string&) {
      std::ofstream(path) << std::string(qnvrecorder::kMaxSnapshotBytes + 1, 'x');
      return true;
    };
    EXPECT_FALSE(store.Take("cam", 9001, huge, jpeg, error));
    EXPECT_FALSE(fs::exists(folder / ".0000000009001.jpg.part"));
  }
  fs::remove_all(dir);
}

TEST(MqttPieces, MqttSectionIsCheckedWithTheFixInEachRefusal) {
  const fs::path dir = fs::temp_directory_path() / ("qnvmqcfg-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string camera = "[[camera]]\nname = \"c\"\nhost = \"127.0.0.1\"\n";
  auto load = [&](const std::string& text, std::string& error) {
    std::ofstream(dir / "r.toml") << text;
    qnvrecorder::SConfig config;
    const bool ok = qnvrecorder::LoadConfig((dir / "r.toml").string(), config, error);
    return ok ? std::optional(config) : std::nullopt;
  };
  std::string error;
  auto ok = load("[mqtt]\n" + camera, error);
  ASSERT_TRUE(ok) << error;  // MQTT alone is something to do
  EXPECT_EQ(ok->mqtt.port, 1883);
  EXPECT_EQ(ok->mqtt.prefix, "qnv");
  EXPECT_NE(ok->mqtt.clientId.find("-qnv"), std::string::npos);
  EXPECT_TRUE(ok->cameras[0].snapshots);
  EXPECT_DOUBLE_EQ(ok->cameras[0].snapshotHoldSeconds, 4);
  ok = load("[mqtt]\nca_file = \"/x/ca.crt\"\nprefix = \"site/a\"\n" + camera, error);
  ASSERT_TRUE(ok) << error;
  EXPECT_EQ(ok->mqtt.port, 8883);  // TLS
  EXPECT_EQ(ok->mqtt.clientId.find('/'), std::string::npos);
  for (const auto& [text, says] : std::vector<std::pair<std::string, std::string>>{
           {"[mqtt]\nprefix = \"a/#\"\n", "'prefix'"},
           {"[mqtt]\nprefix = \"a//b\"\n", "'prefix'"},
           {"[mqtt]\ndiscovery_prefix = \"$SYS\"\n", "'discovery_prefix'"},
           {"[mqtt]\ncert_file = \"c.pem\"\nkey_file = \"k.pem\"\n", "need 'ca_file'"},
           {"[mqtt]\npassword_env = \"X\"\n", "needs a 'user'"},
           {"[mqtt]\nkeep_alive = 1\n", "'keep_alive'"},
           {"[mqtt]\npassword = \"x\"\n", "password_env"},
           {"[mqtt]\nsnapshot_seconds = 0\n", "'snapshot_seconds'"},
           {"[storage]\nroot = \"/tmp\"\n" + camera + "snapshots = true\n", "needs an [mqtt]"}}) {
    EXPECT_FALSE(load(text + (text.find("[[camera]]") == std::string::npos ? camera : ""), error))
        << text;
    EXPECT_NE(error.find(says), std::string::npos) << error;
  }
  fs::remove_all(dir);
}

}  // namespace
