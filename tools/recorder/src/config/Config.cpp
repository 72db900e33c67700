#include "config/Config.h"

#include <arpa/inet.h>
#include <crypt.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <set>

#include "base/Text.h"
#include "config/ConfigText.h"
#include "qnvcatalogue/ICatalogue.h"
#include "qnvtools/UniqueFd.h"

namespace qnvrecorder {

using qnvtools::UniqueFd;
namespace {

// The first control character in a value, or npos: a NUL would cut a path or
// a host name short where C functions meet it.
size_t ControlCharacter(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f) return i;
  }
  return std::string_view::npos;
}

// Collects the first problem; later checks are skipped once one is found.
class CChecker {
 public:
  explicit CChecker(std::string& error) : m_error(error) {}
  bool Ok() const { return m_error.empty(); }
  bool Fail(const std::string& where, const std::string& what) {
    if (m_error.empty()) m_error = where + ": " + what;
    return false;
  }

  // Keys outside `known` are typos: refusing them keeps a misspelt limit
  // from silently doing nothing.
  void OnlyKeys(const toml::table& table, const std::string& where,
                std::initializer_list<const char*> known) {
    for (const auto& [key, value] : table) {
      bool ok = false;
      for (const char* k : known) ok = ok || key.str() == k;
      if (!ok) {
        if (key.str() == "password") {
          Fail(where,
               "a password is not accepted in the configuration text; use password_env "
               "(the name of an environment variable) or password_file (a file only its "
               "owner may read)");
        } else {
          Fail(where, "unknown key " + Quote(key.str()));
        }
      }
    }
  }

  void String(const toml::table& t, const char* key, const std::string& where, std::string& out,
              bool required = false) {
    const toml::node* n = t.get(key);
    if (!n) {
      if (required) Fail(where, std::string("'") + key + "' is missing");
      return;
    }
    if (!n->is_string()) {
      Fail(where, std::string("'") + key + "' must be a string");
      return;
    }
    std::string value = *n->value<std::string>();
    if (value.size() > kMaxConfigString) {
      Fail(where, std::string("'") + key + "' is longer than " + std::to_string(kMaxConfigString) +
                      " bytes");
      return;
    }
    if (size_t at = ControlCharacter(value); at != std::string::npos) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%02x", static_cast<unsigned char>(value[at]));
      Fail(where, std::string("'") + key + "' holds the control character " + hex +
                      " at character " + std::to_string(at + 1) + ": " + Quote(value));
      return;
    }
    out = std::move(value);
  }

  void Number(const toml::table& t, const char* key, const std::string& where, double& out,
              double min, double max) {
    const toml::node* n = t.get(key);
    if (!n) return;
    if (!n->is_number()) {
      Fail(where, std::string("'") + key + "' must be a number");
      return;
    }
    double v = *n->value<double>();
    if (!std::isfinite(v) || v < min || v > max) {
      Fail(where, std::string("'") + key + "' must lie between " + Text(min) + " and " + Text(max));
      return;
    }
    out = v;
  }

  void Integer(const toml::table& t, const char* key, const std::string& where, int64_t& out,
               int64_t min, int64_t max) {
    const toml::node* n = t.get(key);
    if (!n) return;
    if (!n->is_integer()) {
      Fail(where, std::string("'") + key + "' must be a whole number");
      return;
    }
    int64_t v = *n->value<int64_t>();
    if (v < min || v > max) {
      Fail(where, std::string("'") + key + "' must lie between " + std::to_string(min) + " and " +
                      std::to_string(max));
      return;
    }
    out = v;
  }

  void Bool(const toml::table& t, const char* key, const std::string& where, bool& out) {
    const toml::node* n = t.get(key);
    if (!n) return;
    if (!n->is_boolean()) {
      Fail(where, std::string("'") + key + "' must be true or false");
      return;
    }
    out = *n->value<bool>();
  }

 private:
  static std::string Text(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%g", v);
    return b;
  }
  std::string& m_error;
};

bool ResolvePassword(const std::string& where, const std::string& env, const std::string& file,
                     std::string& password, std::string& error, const SLoadContext& context,
                     size_t maxBytes = kMaxCredential) {
  if (!env.empty() && !file.empty()) {
    error = where + ": give password_env or password_file, not both";
    return false;
  }
  if (!env.empty()) {
    const char* value = std::getenv(env.c_str());
    if (!value && context.reload) {
      error = where + ": password_env names " + Quote(env) +
              ", which this running recorder's environment does not hold (a reload cannot "
              "add environment variables): give the camera a password_file instead, or add "
              "the variable to the service's environment file and restart the service";
      return false;
    }
    if (!value) {
      error =
          where + ": password_env names " + Quote(env) + ", which is not set in the environment";
      return false;
    }
    password = value;
  } else if (!file.empty()) {
    std::string why;
    if (!ReadPasswordFile(file, password, why)) {
      error = where + ": " + why;
      return false;
    }
  }
  if (ControlCharacter(password) != std::string::npos) {
    error = where + ": the password holds a control character (a NUL would cut it short)";
    return false;
  }
  if (password.size() > maxBytes) {
    error = where + ": the password is longer than " + std::to_string(maxBytes) + " bytes";
    return false;
  }
  return true;
}

bool NameCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

// Reads the whole file, refusing what is no regular file (a FIFO would block)
// or is larger than the limit, before any of it is parsed.
bool ReadConfigFile(const std::string& path, std::string& text, std::string& error) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd.Valid()) {
    error = path + ": cannot be opened: " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    error = path + ": not a regular file";
    return false;
  }
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = path + ": cannot be read: " + std::strerror(errno);
      return false;
    }
    if (n == 0) return true;
    text.append(buffer, static_cast<size_t>(n));
    if (text.size() > kMaxConfigBytes) {
      error = path + ": larger than " + std::to_string(kMaxConfigBytes / 1024) +
              " KiB; a configuration is far smaller";
      return false;
    }
  }
}

bool ValidRecorderName(std::string_view name) {
  if (name.empty() || name.size() > kMaxRecorderName) return false;
  for (char c : name) {
    if (!NameCharacter(c) && c != '.' && c != '/' && c != ':' && c != '@') return false;
  }
  return true;
}

// A topic prefix: levels of A-Z a-z 0-9 _ - joined by '/', none empty, so
// no wildcard, no leading '$' and no empty level can come of it.
bool ValidTopicPrefix(std::string_view prefix) {
  if (prefix.empty() || prefix.size() > kMaxTopicPrefix || prefix.front() == '/' ||
      prefix.back() == '/' || prefix.find("//") != std::string_view::npos) {
    return false;
  }
  for (char c : prefix) {
    if (!NameCharacter(c) && c != '/') return false;
  }
  return true;
}

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "host";
  std::string text = name;
  for (char& c : text) {
    if (!NameCharacter(c)) c = '_';
  }
  return text.substr(0, 64);
}

void LoadMqtt(const toml::table& t, const std::string& where, SMqttConfig& mq, CChecker& check,
              std::string& error, const SLoadContext& context) {
  mq.enabled = true;
  check.OnlyKeys(t, where,
                 {"host", "port", "client_id", "user", "password_env", "password_file", "ca_file",
                  "cert_file", "key_file", "prefix", "discovery_prefix", "keep_alive", "snapshots",
                  "snapshot_seconds", "snapshot_hold_seconds", "off_seconds", "commands",
                  "ptz_move_command", "ptz_recall_action"});
  check.String(t, "host", where, mq.host);
  if (check.Ok() && (mq.host.empty() || mq.host.size() > 253)) {
    check.Fail(where, "'host' must be a host name or address of 1 to 253 characters");
  }
  check.String(t, "ca_file", where, mq.caFile);
  check.String(t, "cert_file", where, mq.certFile);
  check.String(t, "key_file", where, mq.keyFile);
  if (check.Ok() && mq.caFile.empty() && !(mq.certFile.empty() && mq.keyFile.empty())) {
    check.Fail(where, "'cert_file' and 'key_file' need 'ca_file' (TLS is on with a CA file)");
  }
  if (check.Ok() && mq.certFile.empty() != mq.keyFile.empty()) {
    check.Fail(where, "'cert_file' and 'key_file' go together");
  }
  int64_t port = mq.caFile.empty() ? 1883 : 8883;
  check.Integer(t, "port", where, port, 1, 65535);
  mq.port = static_cast<uint16_t>(port);
  check.String(t, "user", where, mq.user);
  check.String(t, "password_env", where, mq.passwordEnv);
  check.String(t, "password_file", where, mq.passwordFile);
  if (check.Ok() && mq.user.empty() && !(mq.passwordEnv.empty() && mq.passwordFile.empty())) {
    check.Fail(where, "a password needs a 'user'");
  }
  check.String(t, "prefix", where, mq.prefix);
  if (check.Ok() && !ValidTopicPrefix(mq.prefix)) {
    check.Fail(where, "'prefix' " + Quote(mq.prefix) +
                          " must be 1 to 64 letters, digits, '_' or '-', in levels joined by '/'");
  }
  check.String(t, "discovery_prefix", where, mq.discoveryPrefix);
  if (check.Ok() && !mq.discoveryPrefix.empty() && !ValidTopicPrefix(mq.discoveryPrefix)) {
    check.Fail(where, "'discovery_prefix' " + Quote(mq.discoveryPrefix) +
                          " must be empty (no discovery) or letters, digits, '_' or '-' in "
                          "levels joined by '/'");
  }
  mq.clientId = "qnv-recorder-" + HostName() + "-" + mq.prefix;
  for (char& c : mq.clientId) {
    if (c == '/') c = '_';
  }
  check.String(t, "client_id", where, mq.clientId);
  if (check.Ok() && (mq.clientId.empty() || mq.clientId.size() > 128)) {
    check.Fail(where, "'client_id' must be 1 to 128 characters");
  }
  int64_t keepAlive = mq.keepAliveSeconds;
  check.Integer(t, "keep_alive", where, keepAlive, 5, 3600);
  mq.keepAliveSeconds = static_cast<int>(keepAlive);
  check.Bool(t, "snapshots", where, mq.snapshots);
  check.Number(t, "snapshot_seconds", where, mq.snapshotSeconds, 1, 86400);
  check.Number(t, "snapshot_hold_seconds", where, mq.snapshotHoldSeconds, 1, 120);
  check.Number(t, "off_seconds", where, mq.offSeconds, 1, 86400);
  check.Bool(t, "commands", where, mq.commands);
  int64_t move = mq.ptzMoveCommand, recall = mq.ptzRecallAction;
  check.Integer(t, "ptz_move_command", where, move, 0, UINT32_MAX);
  check.Integer(t, "ptz_recall_action", where, recall, 0, UINT32_MAX);
  mq.ptzMoveCommand = static_cast<uint32_t>(move);
  mq.ptzRecallAction = static_cast<uint32_t>(recall);
  if (check.Ok()) {
    ResolvePassword(where, mq.passwordEnv, mq.passwordFile, mq.password, error, context,
                    kMaxMqttPassword);
  }
}

}  // namespace

bool LoopbackAddress(const std::string& address) {
  in_addr v4{};
  if (inet_pton(AF_INET, address.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  return inet_pton(AF_INET6, address.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

std::string DefaultRecorderName(const std::string& instance) { return HostName() + "/" + instance; }

bool ValidCameraName(std::string_view name) {
  if (name.empty() || name.size() > kMaxCameraName) return false;
  for (char c : name) {
    if (!NameCharacter(c)) return false;
  }
  return true;
}

std::string DefaultInstance(const std::string& configPath) {
  std::string name = configPath.substr(configPath.rfind('/') + 1);
  if (const size_t dot = name.rfind('.'); dot != std::string::npos && dot > 0) name.resize(dot);
  for (char& c : name) {
    if (!NameCharacter(c)) c = '_';
  }
  if (name.size() > kMaxCameraName) name.resize(kMaxCameraName);
  return name.empty() || name.find_first_not_of('_') == std::string::npos ? "recorder" : name;
}

bool ReadPasswordFile(const std::string& path, std::string& password, std::string& error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    error = "password_file " + path + " cannot be opened: " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0;
  if (ok && !S_ISREG(st.st_mode)) {
    error = "password_file " + path + " is not a regular file";
    ok = false;
  } else if (ok && st.st_uid != ::geteuid()) {
    error = "password_file " + path +
            " belongs to another user; it must be owned by the user "
            "the recorder runs as";
    ok = false;
  } else if (ok && (st.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    error = "password_file " + path + " may be read or written by others (mode " + mode +
            "); make it readable only by its owner: chmod 600 " + path;
    ok = false;
  }
  std::string text;
  if (ok) {
    char buffer[256];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() < 4096)
      text.append(buffer, n);
    if (n < 0) {
      error = "password_file " + path + " cannot be read: " + std::strerror(errno);
      ok = false;
    }
  }
  ::close(fd);
  if (!ok) return false;
  password = text.substr(0, text.find_first_of("\r\n"));
  return true;
}

bool LoadConfig(const std::string& path, SConfig& config, std::string& error,
                const SLoadContext& context) {
  error.clear();
  config = SConfig{};
  std::string text, problem;
  if (!ReadConfigFile(path, text, error)) return false;
  if (!CheckConfigText(text, problem)) {
    error = path + ": " + problem;
    return false;
  }
  toml::table root;
  try {
    root = toml::parse(text, path);
  } catch (const toml::parse_error& e) {
    const auto& at = e.source().begin;
    error = path + ":" + std::to_string(at.line) + ":" + std::to_string(at.column) + ": " +
            Escaped(e.description(), 2 * kQuoteChars);
    return false;
  } catch (const std::exception& e) {
    error = path + ": " + Escaped(e.what(), 2 * kQuoteChars);
    return false;
  }
  CChecker check(error);
  check.OnlyKeys(root, path, {"storage", "camera", "rtsp", "catalogue", "mqtt", "web"});

  if (const toml::node* m = root.get("mqtt"); m && check.Ok()) {
    const std::string where = path + " [mqtt]";
    if (!m->is_table()) return check.Fail(where, "must be a table");
    LoadMqtt(*m->as_table(), where, config.mqtt, check, error, context);
  }

  if (const toml::node* s = root.get("storage"); s && check.Ok()) {
    const std::string where = path + " [storage]";
    if (!s->is_table()) return check.Fail(where, "must be a table");
    const toml::table& t = *s->as_table();
    SStorageConfig& st = config.storage;
    st.enabled = true;
    check.OnlyKeys(
        t, where,
        {"root", "instance", "segment_seconds", "keep_days", "keep_gb", "mp4", "min_free_mb"});
    check.String(t, "root", where, st.root);
    if (check.Ok() && !t.get("root")) {
      // Under systemd the unit's StateDirectory= is the default root.
      const char* state = std::getenv("STATE_DIRECTORY");
      if (state == nullptr || *state == '\0') {
        check.Fail(where,
                   "'root' is missing (without it the root is the service's state directory, "
                   "$STATE_DIRECTORY, which is not set here)");
      } else {
        st.root = std::string(state).substr(0, std::string(state).find(':'));
      }
    }
    st.instance = DefaultInstance(path);
    check.String(t, "instance", where, st.instance);
    if (check.Ok() && !ValidCameraName(st.instance)) {
      check.Fail(where, "'instance' " + Quote(st.instance) +
                            " must be 1 to 64 letters, digits, '_' or '-'");
    }
    int64_t seconds = st.segmentSeconds;
    check.Integer(t, "segment_seconds", where, seconds, 1, 86400);
    st.segmentSeconds = static_cast<int>(seconds);
    check.Number(t, "keep_days", where, st.keepDays, 0, 36500);
    check.Number(t, "keep_gb", where, st.keepGb, 0, 1e9);
    check.Bool(t, "mp4", where, st.mp4);
    check.Number(t, "min_free_mb", where, st.minFreeMb, 0, 1e9);
    if (check.Ok() && st.root.empty()) check.Fail(where, "'root' is empty");
  }

  if (const toml::node* r = root.get("rtsp"); r && check.Ok()) {
    const std::string where = path + " [rtsp]";
    if (!r->is_table()) return check.Fail(where, "must be a table");
    const toml::table& t = *r->as_table();
    SRtspConfig& rt = config.rtsp;
    rt.enabled = true;
    check.OnlyKeys(t, where, {"port", "user", "password_env"});
    int64_t port = rt.port;
    check.Integer(t, "port", where, port, 0, 65535);
    rt.port = static_cast<uint16_t>(port);
    check.String(t, "user", where, rt.user);
    check.String(t, "password_env", where, rt.passwordEnv);
    if (check.Ok() && rt.user.empty() != rt.passwordEnv.empty()) {
      check.Fail(where, "'user' and 'password_env' go together");
    }
    if (check.Ok() && !rt.passwordEnv.empty()) {
      ResolvePassword(where, rt.passwordEnv, "", rt.password, error, context);
    }
  }

  if (const toml::node* w = root.get("web"); w && check.Ok()) {
    const std::string where = path + " [web]";
    if (!w->is_table()) return check.Fail(where, "must be a table");
    const toml::table& t = *w->as_table();
    SWebConfig& web = config.web;
    web.enabled = true;
    check.OnlyKeys(t, where, {"port", "address", "tls_cert", "tls_key", "user", "session_hours"});
    int64_t port = web.port;
    check.Integer(t, "port", where, port, 0, 65535);
    web.port = static_cast<uint16_t>(port);
    check.String(t, "address", where, web.address);
    in6_addr any{};
    if (check.Ok() && inet_pton(AF_INET, web.address.c_str(), &any) != 1 &&
        inet_pton(AF_INET6, web.address.c_str(), &any) != 1) {
      check.Fail(where, "'address' must be an IPv4 or IPv6 address such as 127.0.0.1 or ::1");
    }
    check.String(t, "tls_cert", where, web.tlsCert);
    check.String(t, "tls_key", where, web.tlsKey);
    if (check.Ok() && web.tlsCert.empty() != web.tlsKey.empty()) {
      check.Fail(where, "'tls_cert' and 'tls_key' go together");
    }
    check.Number(t, "session_hours", where, web.sessionHours, 0.01, 24 * 365);
    if (const toml::node* u = t.get("user"); u && check.Ok()) {
      if (!u->is_array_of_tables()) return check.Fail(where, "'user' must be [[web.user]] tables");
      std::set<std::string> names;
      for (const toml::node& item : *u->as_array()) {
        const toml::table& ut = *item.as_table();
        const std::string uwhere = path + " web user " + std::to_string(web.users.size() + 1);
        SWebUser user;
        check.OnlyKeys(ut, uwhere, {"name", "password_hash"});
        check.String(ut, "name", uwhere, user.name, true);
        check.String(ut, "password_hash", uwhere, user.passwordHash, true);
        if (!check.Ok()) break;
        if (user.name.empty() || user.name.size() > kMaxCameraName) {
          check.Fail(uwhere, "'name' must be 1 to 64 characters");
        } else if (!names.insert(user.name).second) {
          check.Fail(uwhere, "a second user is named " + Quote(user.name));
        } else if (user.passwordHash.size() < 20 || user.passwordHash.size() > kMaxPasswordHash ||
                   crypt_checksalt(user.passwordHash.c_str()) != CRYPT_SALT_OK) {
          check.Fail(uwhere,
                     "'password_hash' is not a password hash this system can check; make "
                     "one with qnv-recorder --hash-password");
        }
        if (!check.Ok()) break;
        web.users.push_back(std::move(user));
      }
      if (check.Ok() && web.users.size() > kMaxWebUsers) {
        check.Fail(where, "more than 64 users");
      }
    }
    if (check.Ok() && web.users.empty() && !LoopbackAddress(web.address)) {
      check.Fail(where, "'address' " + Quote(web.address) +
                            " is not a loopback address and no [[web.user]] is configured: "
                            "without users the page serves only this machine (127.0.0.1 or "
                            "::1); add users to serve others");
    }
  }

  if (const toml::node* c = root.get("catalogue"); c && check.Ok()) {
    const std::string where = path + " [catalogue]";
    if (!c->is_table()) return check.Fail(where, "must be a table");
    const toml::table& t = *c->as_table();
    SCatalogueConfig& ca = config.catalogue;
    ca.enabled = true;
    check.OnlyKeys(
        t, where, {"url", "password_env", "password_file", "recorder", "queue_mb", "history_days"});
    check.String(t, "url", where, ca.url);
    if (check.Ok() && !ca.url.empty() && ca.url.rfind("postgresql://", 0) != 0 &&
        ca.url.rfind("postgres://", 0) != 0) {
      check.Fail(where,
                 "'url' must be a postgresql:// URL (leave it out for the SQLite file under the "
                 "storage root)");
    }
    if (check.Ok() && ca.url.size() > 4096) check.Fail(where, "'url' is longer than 4096 bytes");
    if (check.Ok() && qnvcat::CarriesPassword(ca.url)) {
      check.Fail(where,
                 "'url' carries a password; passwords stay out of the configuration text: "
                 "give it with password_env or password_file");
    }
    check.String(t, "password_env", where, ca.passwordEnv);
    check.String(t, "password_file", where, ca.passwordFile);
    if (check.Ok() && ca.url.empty() && !(ca.passwordEnv.empty() && ca.passwordFile.empty())) {
      check.Fail(where, "a password goes with a postgresql:// 'url' only");
    }
    check.String(t, "recorder", where, ca.recorder);
    if (check.Ok() && t.get("recorder") && !ValidRecorderName(ca.recorder)) {
      check.Fail(where, "'recorder' " + Quote(ca.recorder) +
                            " must be 1 to 128 letters, digits or _ - . / : @");
    }
    int64_t queueMb = ca.queueMb;
    check.Integer(t, "queue_mb", where, queueMb, 1, 65536);
    ca.queueMb = static_cast<int>(queueMb);
    check.Number(t, "history_days", where, ca.historyDays, 0, 36500);
    if (check.Ok() && !config.storage.enabled) {
      check.Fail(where, "needs a [storage] section (the catalogue lists what is stored)");
    }
    if (check.Ok() && ca.recorder.empty())
      ca.recorder = DefaultRecorderName(config.storage.instance);
    if (check.Ok() && !ca.url.empty()) {
      ResolvePassword(where, ca.passwordEnv, ca.passwordFile, ca.password, error, context,
                      kMaxDatabasePassword);
    }
  }

  if (const toml::node* c = root.get("camera"); c && check.Ok()) {
    if (!c->is_array_of_tables()) return check.Fail(path, "'camera' must be [[camera]] tables");
    std::set<std::string> names;
    size_t index = 0;
    for (const toml::node& item : *c->as_array()) {
      ++index;
      const toml::table& t = *item.as_table();
      std::string where = path + " camera " + std::to_string(index);
      SCameraConfig cam;
      check.OnlyKeys(
          t, where,
          {"name", "host", "port", "user", "password_env", "password_file", "mode", "pre_seconds",
           "post_seconds", "keep_days", "keep_gb", "stall_seconds", "snapshots"});
      check.String(t, "name", where, cam.name, true);
      if (!check.Ok()) break;
      if (!ValidCameraName(cam.name)) {
        check.Fail(where, "the name " + Quote(cam.name) +
                              " is not 1 to 64 letters, digits, '_' or '-' (it names a folder, "
                              "an RTSP path and the camera elsewhere)");
        break;
      }
      where = path + " camera '" + cam.name + "'";
      if (!names.insert(cam.name).second) {
        check.Fail(where, "a second camera has this name");
        break;
      }
      check.String(t, "host", where, cam.host, true);
      in_addr address{};
      if (check.Ok() &&
          (cam.host.size() > 15 || inet_pton(AF_INET, cam.host.c_str(), &address) != 1)) {
        check.Fail(where, "'host' must be a dotted IPv4 address such as 192.0.2.10");
      }
      int64_t port = cam.port;
      check.Integer(t, "port", where, port, 1, 65533);
      cam.port = static_cast<uint16_t>(port);
      check.String(t, "user", where, cam.user);
      if (check.Ok() && cam.user.size() > kMaxCredential) {
        check.Fail(where, "'user' is longer than 16 bytes");
      }
      check.String(t, "password_env", where, cam.passwordEnv);
      check.String(t, "password_file", where, cam.passwordFile);
      std::string mode = "continuous";
      check.String(t, "mode", where, mode);
      if (mode == "events") {
        cam.mode = CameraMode::kEvents;
      } else if (mode != "continuous") {
        check.Fail(where, "'mode' must be \"continuous\" or \"events\"");
      }
      check.Number(t, "pre_seconds", where, cam.preSeconds, 0, 120);
      check.Number(t, "post_seconds", where, cam.postSeconds, 0, 3600);
      check.Number(t, "keep_days", where, cam.keepDays, 0, 36500);
      check.Number(t, "keep_gb", where, cam.keepGb, 0, 1e9);
      check.Number(t, "stall_seconds", where, cam.stallSeconds, 0.5, 3600);
      cam.snapshots = config.mqtt.enabled && config.mqtt.snapshots;
      check.Bool(t, "snapshots", where, cam.snapshots);
      if (check.Ok() && cam.snapshots && !config.mqtt.enabled) {
        check.Fail(where, "'snapshots' needs an [mqtt] section (snapshots go there)");
      }
      if (cam.snapshots) cam.snapshotHoldSeconds = config.mqtt.snapshotHoldSeconds;
      if (!check.Ok()) break;
      if (!ResolvePassword(where, cam.passwordEnv, cam.passwordFile, cam.password, error,
                           context)) {
        break;
      }
      config.cameras.push_back(std::move(cam));
    }
  }
  if (!check.Ok()) return false;
  if (config.cameras.empty()) return check.Fail(path, "no [[camera]] is configured");
  if (config.cameras.size() > kMaxCameras) {
    return check.Fail(path,
                      "more than 64 cameras: run several instances, each with a part of "
                      "the list");
  }
  if (!config.storage.enabled && !config.rtsp.enabled && !config.mqtt.enabled &&
      !config.web.enabled) {
    return check.Fail(path, "neither [storage], [rtsp], [mqtt] nor [web]: nothing to do");
  }
  return true;
}

}  // namespace qnvrecorder
