// MqttBroker: a mosquitto broker of the test's own on a free 127.0.0.1 port,
// with a generated configuration in a folder of the test (optionally a
// password file, TLS from a throw-away CA made with openssl, a persistence
// store), and MqttListener, a client of the broker that collects what
// arrives. The broker is killed and its files left to the test's folder.
#pragma once

#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qnvctl/ChildProcess.h"

namespace qnvrectest {

inline uint16_t FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

struct SBrokerOptions {
  std::string user, password;       // a password file with this one user; anonymous refused
  bool tls = false;                 // server certificate for 127.0.0.1 from a CA of the test
  bool clientCertificates = false;  // with tls: clients must show one from that CA
  bool persistence = false;         // sessions and queued messages survive a kill (autosave 1 s)
};

class MqttBroker {
 public:
  MqttBroker(std::filesystem::path dir, SBrokerOptions options)
      : m_dir(std::move(dir)), m_options(std::move(options)) {
    std::filesystem::create_directories(m_dir);
  }
  ~MqttBroker() { Kill(); }

  // Makes the files (once) and starts the broker on the same port each time.
  bool Start() {
    if (m_port == 0 && !MakeFiles()) return false;
    m_broker = std::make_unique<qnvtest::ChildProcess>();
    if (!m_broker->Start({"/usr/sbin/mosquitto", "-c", (m_dir / "broker.conf").string()})) {
      return false;
    }
    const bool ok = m_broker->WaitForStderr("Opening ipv4 listen socket", 10000) &&
                    !m_broker->WaitForStderr("Error", 300);
    if (!ok) std::fprintf(stderr, "mosquitto: %s\n", m_broker->Stderr().c_str());
    return ok;
  }
  void Kill(int signal = SIGKILL) {
    if (!m_broker) return;
    m_broker->Signal(signal);
    m_broker->Finish(10000);
    m_broker.reset();
  }
  // Stops the broker where it is (it reads and answers nothing) or lets it go on.
  void Pause(bool paused) {
    if (m_broker) m_broker->Signal(paused ? SIGSTOP : SIGCONT);
  }
  uint16_t Port() const { return m_port; }
  std::string CaFile() const { return (m_dir / "ca.crt").string(); }
  std::string ClientCert() const { return (m_dir / "client.crt").string(); }
  std::string ClientKey() const { return (m_dir / "client.key").string(); }
  const std::filesystem::path& Dir() const { return m_dir; }

 private:
  static bool Run(const std::string& command) {
    return qnvtest::ChildProcess::Run({"/bin/sh", "-c", command}, 60000).exitCode == 0;
  }

  bool MakeFiles() {
    m_port = FreeLoopbackPort();
    const std::string d = m_dir.string();
    std::ofstream conf(m_dir / "broker.conf");
    // Started as root, the broker would drop to its own user, who cannot read
    // the test's key or write its store: it stays the test's user.
    conf << "user " << (::geteuid() == 0 ? "root" : "nobody") << "\n";
    conf << "per_listener_settings false\nlog_dest stderr\nlog_type error\nlog_type warning\n"
         << "log_type notice\nlog_type information\n"
         << "listener " << m_port << " 127.0.0.1\n";
    if (!m_options.user.empty()) {
      if (!Run("mosquitto_passwd -b -c " + d + "/passwd " + m_options.user + " " +
               m_options.password + " 2>&1")) {
        return false;
      }
      conf << "allow_anonymous false\npassword_file " << d << "/passwd\n";
    } else {
      conf << "allow_anonymous true\n";
    }
    if (m_options.tls) {
      // A CA of this test alone, and a server certificate for 127.0.0.1 signed by it.
      const std::string make =
          "cd " + d +
          " && openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=test-ca "
          "-keyout ca.key -out ca.crt 2>&1"
          " && openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout server.key "
          "-out server.csr 2>&1"
          " && printf 'subjectAltName=IP:127.0.0.1\\n' > san.ext"
          " && openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial "
          "-days 2 -extfile san.ext -out server.crt 2>&1";
      if (!Run(make)) return false;
      conf << "cafile " << d << "/ca.crt\ncertfile " << d << "/server.crt\nkeyfile " << d
           << "/server.key\n";
      if (m_options.clientCertificates) {
        if (!Run("cd " + d +
                 " && openssl req -newkey rsa:2048 -nodes -subj /CN=client -keyout client.key "
                 "-out client.csr 2>&1 && openssl x509 -req -in client.csr -CA ca.crt -CAkey "
                 "ca.key -CAcreateserial -days 2 -out client.crt 2>&1")) {
          return false;
        }
        conf << "require_certificate true\n";
      }
    }
    if (m_options.persistence) {
      conf << "persistence true\npersistence_location " << d << "/\nautosave_interval 1\n";
    }
    return true;
  }

  std::filesystem::path m_dir;
  SBrokerOptions m_options;
  uint16_t m_port = 0;
  std::unique_ptr<qnvtest::ChildProcess> m_broker;
};

struct SReceived {
  std::string topic, payload;
  bool retained = false;
  std::chrono::steady_clock::time_point at;
};

// A subscriber on the broker (libmosquitto's own thread, reconnecting by
// itself), QoS 1; persistent: a session the broker keeps across its
// reconnections (and, with persistence, across the broker's restart).
class MqttListener {
 public:
  MqttListener(const MqttBroker& broker, std::vector<std::string> topics, bool persistent = false,
               std::string user = "", std::string password = "")
      : m_topics(std::move(topics)) {
    mosquitto_lib_init();
    const std::string id =
        "listener-" + std::to_string(::getpid()) + "-" + std::to_string(++Count());
    m_mosq = mosquitto_new(id.c_str(), !persistent, this);
    if (!user.empty()) mosquitto_username_pw_set(m_mosq, user.c_str(), password.c_str());
    if (!broker.CaFile().empty() && std::filesystem::exists(broker.CaFile())) {
      const bool cert = std::filesystem::exists(broker.ClientCert());
      mosquitto_tls_set(m_mosq, broker.CaFile().c_str(), nullptr,
                        cert ? broker.ClientCert().c_str() : nullptr,
                        cert ? broker.ClientKey().c_str() : nullptr, nullptr);
    }
    mosquitto_reconnect_delay_set(m_mosq, 1, 1, false);
    mosquitto_connect_callback_set(m_mosq, [](mosquitto* m, void* self, int rc) {
      auto* l = static_cast<MqttListener*>(self);
      if (rc != 0) return;
      for (const std::string& t : l->m_topics) mosquitto_subscribe(m, nullptr, t.c_str(), 1);
      std::lock_guard<std::mutex> lock(l->m_mutex);
      ++l->m_connects;
      l->m_changed.notify_all();
    });
    mosquitto_message_callback_set(m_mosq, [](mosquitto*, void* self, const mosquitto_message* m) {
      auto* l = static_cast<MqttListener*>(self);
      std::lock_guard<std::mutex> lock(l->m_mutex);
      l->m_messages.push_back(
          {m->topic,
           std::string(static_cast<const char*>(m->payload), static_cast<size_t>(m->payloadlen)),
           m->retain, std::chrono::steady_clock::now()});
      l->m_changed.notify_all();
    });
    mosquitto_threaded_set(m_mosq, true);
    mosquitto_connect(m_mosq, "127.0.0.1", broker.Port(), 5);
    // libmosquitto's own loop gives up after some failures (a TLS connection
    // cut mid-record): this one tries again until the listener goes.
    m_thread = std::thread([this] {
      while (!m_stop) {
        mosquitto_loop_forever(m_mosq, 100, 1);
        if (m_stop) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        mosquitto_reconnect(m_mosq);
      }
    });
  }
  ~MqttListener() {
    m_stop = true;
    mosquitto_disconnect(m_mosq);
    m_thread.join();
    mosquitto_destroy(m_mosq);
  }

  // Waits until a message satisfies pred; returns it (topic "" on time-out).
  SReceived WaitFor(const std::function<bool(const SReceived&)>& pred, int timeoutMs,
                    size_t from = 0) {
    std::unique_lock<std::mutex> lock(m_mutex);
    SReceived found;
    m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      for (size_t i = from; i < m_messages.size(); ++i) {
        if (pred(m_messages[i])) {
          found = m_messages[i];
          return true;
        }
      }
      return false;
    });
    return found;
  }
  SReceived WaitTopic(const std::string& topic, const std::string& payload, int timeoutMs) {
    return WaitFor([&](const SReceived& m) { return m.topic == topic && m.payload == payload; },
                   timeoutMs);
  }
  bool WaitConnected(int n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_connects >= n; });
  }
  std::vector<SReceived> Messages(const std::string& topic = "") {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<SReceived> list;
    for (const SReceived& m : m_messages) {
      if (topic.empty() || m.topic == topic) list.push_back(m);
    }
    return list;
  }

 private:
  static int& Count() {
    static int n = 0;
    return n;
  }
  std::vector<std::string> m_topics;
  mosquitto* m_mosq = nullptr;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<SReceived> m_messages;
  int m_connects = 0;
};

}  // namespace qnvrectest
