// qnvctl's one-request commands against a simulated device: what reaches the
// device, what is printed (text and --json), and how bad arguments fail.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "QnvctlFixture.h"

namespace qnvtest {
namespace {

// A loopback port nothing listens on.
uint16_t ClosedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

// Requests of one class and code the device received.
std::vector<qnv::devsim::LoggedRequest> Logged(const qnv::devsim::Simulator& sim, uint16_t cls,
                                               uint16_t code) {
  std::vector<qnv::devsim::LoggedRequest> out;
  for (auto& r : sim.Requests())
    if (!r.stream && r.cls == cls && r.code == code) out.push_back(r);
  return out;
}

TEST_F(QnvctlTest, HelpOnTheToolAndOnEveryCommand) {
  ChildResult r = ChildProcess::Run({QNVCTL_PATH, "--help"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::vector<std::string> commands = {
      "info",         "config get",      "config set",  "cmd",
      "ptz move",     "ptz preset",      "ptz param",   "rules download",
      "rules upload", "rules enable",    "rules state", "algo get",
      "algo set",     "firmware upload", "record",      "snapshot",
      "view",         "watch",           "export",      "demo",
      "events"};
  for (const auto& c : commands) {
    EXPECT_NE(r.out.find("  " + c + " "), std::string::npos) << c;
    std::vector<std::string> argv = {QNVCTL_PATH};
    for (size_t at = 0, next; at != std::string::npos;
         at = next == std::string::npos ? next : next + 1) {
      next = c.find(' ', at);
      argv.push_back(c.substr(at, next - at));
    }
    argv.push_back("--help");
    ChildResult h = ChildProcess::Run(argv);
    EXPECT_EQ(h.exitCode, 0) << c;
    EXPECT_EQ(h.out.rfind("Usage: qnvctl " + c, 0), 0u) << h.out;
    EXPECT_NE(h.out.find("--host HOST"), std::string::npos) << c;
  }
}

TEST_F(QnvctlTest, BadArgumentsGiveOneLineErrors) {
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string message;
  };
  const std::string missing = Path("missing.bin");
  WriteFile(Path("empty.bin"), {});
  const std::vector<Case> cases = {
      {{"config", "get", "99"}, 2, "selector 99 is not one the SDK maps"},
      {{"firmware", "upload", Path("empty.bin")}, 2, "is empty; --allow-empty sends it anyway"},
      {{"snapshot", Path("shot.gif")}, 2, "cannot tell the image format"},
      {{"snapshot", Path("no/such/shot.jpg")}, 2, "does not exist"},
      {{"info", "--password-file", missing}, 2, "cannot read --password-file"},
      {{"config", "get", "foo"}, 2, "unknown configuration (get) selector 'foo'"},
      {{"config", "get", "-5"}, 2, "unknown option -5"},
      {{"algo", "set", "speed", missing}, 2, "unknown algorithm (set) selector 'speed'"},
      {{"cmd", "reboot"}, 2, "unknown system command selector 'reboot'"},
      {{"ptz", "param", "pos"}, 2, "unknown PTZ parameter selector 'pos'"},
      {{"config", "set", "31", missing}, 1, "cannot read " + missing + ": No such file"},
      {{"rules", "upload", missing}, 1, "cannot read " + missing},
      {{"firmware", "upload", missing}, 1, "cannot read " + missing},
      {{"export", missing, Path("out.mp4")}, 1, "export failed"},
      {{"bogus"}, 2, "unknown command 'bogus'"},
      {{"ptz", "move", "1", "2"}, 2, "'ptz move' needs V1 V2 V3 V4"},
      {{"ptz", "move", "1", "2", "x", "4"}, 2, "bad value 'x'"},
      {{"rules", "enable", "maybe"}, 2, "on or off"},
      {{"record", Path("r.dat"), "--seconds", "soon"}, 2, "bad --seconds 'soon'"},
      {{"info", "extra"}, 2, "unexpected argument 'extra'"},
      {{"info", "--frobnicate"}, 2, "unknown option --frobnicate"},
      {{"info", "--host"}, 2, "needs a value"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv = {QNVCTL_PATH};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ChildResult r = ChildProcess::Run(argv);
    const std::string what = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
    EXPECT_EQ(r.signal, 0) << what;
    EXPECT_EQ(r.exitCode, c.exitCode) << what << ": " << r.err;
    EXPECT_EQ(Lines(r.err), 1u) << what << ": " << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << what << ": " << r.err;
    EXPECT_TRUE(r.out.empty()) << what << ": " << r.out;
  }
  // Nothing reached the device for any of them.
  EXPECT_TRUE(sim->Requests().empty());
}

TEST_F(QnvctlTest, BadPortOptionIsRefused) {
  ChildResult r = ChildProcess::Run({QNVCTL_PATH, "info", "--port", "70000"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("bad --port '70000'"), std::string::npos) << r.err;
}

TEST_F(QnvctlTest, UnreachableHostReportsTheLoginFailure) {
  const std::string port = std::to_string(ClosedPort());
  ChildResult r = ChildProcess::Run({QNVCTL_PATH, "info", "--port", port});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err,
            "qnvctl: login failed: -30 (no such session or login refused): connection failed: "
            "Connection refused\n");
  EXPECT_TRUE(r.out.empty());

  r = ChildProcess::Run({QNVCTL_PATH, "rules", "state", "--json", "--port", port});
  EXPECT_EQ(r.exitCode, 1);
  JsonValue j = Json(r.out);
  EXPECT_FALSE(Flag(j, "ok"));
  EXPECT_EQ(Number(j, "result"), -30);
  EXPECT_EQ(Text(j, "resultText"), "no such session or login refused");
}

TEST_F(QnvctlTest, WrongPasswordIsALoginFailure) {
  ChildResult r = Qnvctl({"info", "--password", "wrong"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("login failed: -30"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("refused the user name or password"), std::string::npos) << r.err;
}

TEST_F(QnvctlTest, PasswordFromEnvironmentOrFileAndHostByName) {
  const std::map<std::string, std::string> wrong = {{"QNV_PASSWORD", "wrong"}};
  EXPECT_EQ(Qnvctl({"info"}, 30000, wrong).exitCode, 1);
  WriteFile(Path("pw"), {'a', 'd', 'm', 'i', 'n', '\n'});
  // The file wins over the environment; a host name is resolved first.
  ChildResult r =
      Qnvctl({"info", "--password-file", Path("pw"), "--host", "localhost"}, 30000, wrong);
  EXPECT_EQ(r.exitCode, 0) << r.err;
}

TEST_F(QnvctlTest, InfoDecodesTheDeviceBlock) {
  ChildResult r = Qnvctl({"info"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("SDK version       1.0.0 (0x01000000)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Model             QNV-SIM-100"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Firmware version  1.0.0"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("0000  51 4e 56 2d 53 49 4d"), std::string::npos) << r.out;

  r = Qnvctl({"info", "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  JsonValue j = Json(r.out);
  EXPECT_TRUE(Flag(j, "ok"));
  EXPECT_EQ(Text(j, "sdkVersion"), "1.0.0");
  EXPECT_EQ(Text(j, "model"), "QNV-SIM-100");
  EXPECT_EQ(Text(j, "serial"), "SIM00000001");
  EXPECT_EQ(Number(j, "commandPort"), sim->Port());
  EXPECT_EQ(Number(j, "streamPort"), sim->Port() + 2);
  EXPECT_EQ(Number(j, "length"), 128);
  EXPECT_EQ(Text(j, "data").size(), 256u);
  // Read with selector 13: class 2, code 4.
  EXPECT_EQ(Logged(*sim, 2, 4).size(), 2u);
}

TEST_F(QnvctlTest, ConfigurationRoundTrip) {
  const auto bytes = Pattern(300, 7);
  WriteFile(Path("in.bin"), bytes);
  ChildResult r = Qnvctl({"config", "set", "31", Path("in.bin")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  auto sets = Logged(*sim, 2, 34);
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0].payload, bytes);

  r = Qnvctl({"config", "get", "31", "-o", Path("out.bin")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadFile(Path("out.bin")), bytes);

  r = Qnvctl({"config", "get", "31", "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  JsonValue j = Json(r.out);
  EXPECT_EQ(Number(j, "selector"), 31);
  EXPECT_EQ(Number(j, "length"), 300);
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (uint8_t b : bytes) hex += {kDigits[b >> 4], kDigits[b & 15]};
  EXPECT_EQ(Text(j, "data"), hex);
}

TEST_F(QnvctlTest, OversizedFileIsRefusedBeforeSending) {
  WriteFile(Path("big.bin"), Pattern(4077, 3));
  ChildResult r = Qnvctl({"algo", "set", "50", Path("big.bin")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(Lines(r.err), 1u);
  EXPECT_NE(r.err.find("too large: 4077 bytes, at most 4076"), std::string::npos) << r.err;
  EXPECT_TRUE(sim->Requests().empty());
}

// FILE arguments that are FIFOs, devices or directories are refused at once
// with a message naming what they are, instead of blocking.
TEST_F(QnvctlTest, SpecialFileArgumentsAreRefusedAtOnce) {
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(Path("fifo.jpg").c_str(), 0600), 0);
  const std::vector<std::vector<std::string>> commands = {
      {"config", "set", "31", Path("fifo")},      {"config", "get", "31", "-o", Path("fifo")},
      {"record", Path("fifo"), "--seconds", "1"}, {"snapshot", Path("fifo.jpg")},
      {"firmware", "upload", Path("fifo")},       {"config", "get", "31", "-o", "/dev/null"},
      {"config", "set", "31", dir.string()}};
  for (const auto& args : commands) {
    ChildResult r = Qnvctl(args, 10000);
    EXPECT_EQ(r.exitCode, 1) << args[0] << " " << args[1] << ": " << r.err;
    EXPECT_NE(r.err.find("not a regular file"), std::string::npos) << r.err;
  }
}

TEST_F(QnvctlTest, AlgorithmParametersAndAnUnmappedSelector) {
  const auto bytes = Pattern(64, 11);
  WriteFile(Path("a.bin"), bytes);
  ASSERT_EQ(Qnvctl({"algo", "set", "68", Path("a.bin")}).exitCode, 0);
  auto sets = Logged(*sim, 7, 54);  // selector 68 sets with code 54
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0].payload, bytes);

  // 99 is in no table: refused, or with --raw sent with code 0, which the
  // device refuses.
  ChildResult r = Qnvctl({"algo", "get", "99", "--raw"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("selector 99 is not one the SDK maps"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("algo get failed: 2 (device error)"), std::string::npos) << r.err;
  EXPECT_EQ(Logged(*sim, 7, 0).size(), 1u);
}

TEST_F(QnvctlTest, SystemCommandCarriesTheFile) {
  const std::vector<uint8_t> bytes = {1, 2, 3, 4, 5};
  WriteFile(Path("c.bin"), bytes);
  ChildResult r = Qnvctl({"cmd", "12", Path("c.bin"), "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(Number(Json(r.out), "length"), 5);
  auto cmds = Logged(*sim, 2, 3);  // selector 12: code 3
  ASSERT_EQ(cmds.size(), 1u);
  EXPECT_EQ(cmds[0].payload, bytes);
  // Without a file: an empty payload.
  ASSERT_EQ(Qnvctl({"cmd", "14"}).exitCode, 0);
  auto empty = Logged(*sim, 2, 7);
  ASSERT_EQ(empty.size(), 1u);
  EXPECT_TRUE(empty[0].payload.empty());
}

TEST_F(QnvctlTest, PtzMovePresetAndParameters) {
  ASSERT_EQ(Qnvctl({"ptz", "move", "7", "900", "450", "20"}).exitCode, 0);
  auto moves = Logged(*sim, 5, 1);
  ASSERT_EQ(moves.size(), 1u);
  EXPECT_EQ(moves[0].payload,
            (std::vector<uint8_t>{7, 0, 0, 0, 0x84, 3, 0, 0, 0xC2, 1, 0, 0, 20, 0, 0, 0}));
  ASSERT_EQ(Qnvctl({"ptz", "preset", "1", "5"}).exitCode, 0);

  ChildResult r = Qnvctl({"ptz", "param", "0", "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  JsonValue j = Json(r.out);
  const JsonValue* values = j.Get("values");
  ASSERT_TRUE(values && values->items.size() == 3);
  EXPECT_EQ(values->items[0].number, 900);
  EXPECT_EQ(values->items[1].number, 450);
  EXPECT_EQ(values->items[2].number, 20);

  r = Qnvctl({"ptz", "param", "1"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("values: 1 5 900 450 20"), std::string::npos) << r.out;

  // Recalling a preset that was never stored is the device's error.
  r = Qnvctl({"ptz", "preset", "2", "9"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("ptz preset failed: 9 (device error)"), std::string::npos) << r.err;
}

TEST_F(QnvctlTest, RulesRoundTripAndState) {
  const auto rules = Pattern(1000, 5);
  WriteFile(Path("rules.bin"), rules);
  ASSERT_EQ(Qnvctl({"rules", "upload", Path("rules.bin")}).exitCode, 0);
  ASSERT_EQ(Qnvctl({"rules", "download", Path("back.bin")}).exitCode, 0);
  EXPECT_EQ(ReadFile(Path("back.bin")), rules);

  ASSERT_EQ(Qnvctl({"rules", "enable", "on"}).exitCode, 0);
  ChildResult r = Qnvctl({"rules", "state", "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(Flag(Json(r.out), "enabled"));
  ASSERT_EQ(Qnvctl({"rules", "enable", "off"}).exitCode, 0);
  r = Qnvctl({"rules", "state"});
  EXPECT_NE(r.out.find("rule processing is off"), std::string::npos) << r.out;
  EXPECT_EQ(Logged(*sim, 4, 3).size(), 1u);
  EXPECT_EQ(Logged(*sim, 4, 4).size(), 1u);
}

TEST_F(QnvctlTest, FirmwareUploadAndStartInstallTheImage) {
  const auto image = Pattern(100000, 9);
  WriteFile(Path("fw.bin"), image);
  ChildResult r = Qnvctl({"firmware", "upload", Path("fw.bin"), "--start", "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  JsonValue j = Json(r.out);
  EXPECT_TRUE(Flag(j, "started"));
  EXPECT_EQ(Number(j, "bytes"), 100000);
  EXPECT_NE(r.err.find("100%"), std::string::npos) << r.err;
  EXPECT_EQ(sim->FirmwareImage(), image);
  r = Qnvctl({"info", "--json"});
  EXPECT_EQ(Text(Json(r.out), "firmwareVersion"), "1.0.1");
}

TEST_F(QnvctlTest, FirmwareChunkRefusedIsReported) {
  WriteFile(Path("fw.bin"), Pattern(10000, 1));
  sim->SetFault(2, 5, {qnv::devsim::Fault::kResult, 6, -1});
  ChildResult r = Qnvctl({"firmware", "upload", Path("fw.bin")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("firmware upload failed: -1 (firmware upload failed)"), std::string::npos)
      << r.err;
}

}  // namespace
}  // namespace qnvtest
