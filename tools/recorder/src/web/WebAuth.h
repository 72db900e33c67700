// WebAuth: who may use the web page. Password hashes (crypt(3): yescrypt,
// made by qnv-recorder --hash-password), the sessions a login opens (a random
// token in an HttpOnly, SameSite=Strict cookie, with a second random token the
// page must send back on every state-changing request), and the limit on
// failed logins per client address and in all. CWebSessions is called from
// the web server's thread only; the clock is passed in so tests can move it.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "config/Config.h"

namespace qnvrecorder {

// A new crypt(3) hash of password (yescrypt with a random salt). False with
// a message when the system cannot make one.
bool MakePasswordHash(const std::string& password, std::string& hash, std::string& error);
// Whether password matches hash (a comparison that takes the same time
// wherever the two first differ).
bool CheckPasswordHash(const std::string& password, const std::string& hash);
// A random token of 32 bytes as 64 hex digits ("" when the system's random
// source fails).
std::string RandomToken();

struct SWebSession {
  std::string user;
  std::string csrf;
  std::chrono::steady_clock::time_point expires;
};

class CWebSessions {
 public:
  using Clock = std::chrono::steady_clock;

  // Failed logins allowed per client address in kFailWindow, and in all.
  static constexpr int kFailsPerAddress = 5;
  static constexpr int kFailsInAll = 30;
  static constexpr std::chrono::seconds kFailWindow{60};
  static constexpr size_t kMaxSessions = 256;

  CWebSessions(std::vector<SWebUser> users, std::chrono::seconds lifetime)
      : m_users(std::move(users)), m_lifetime(lifetime) {}

  bool UsersConfigured() const { return !m_users.empty(); }

  enum class LoginResult { kOk, kRefused, kTooMany, kFailed };
  // Checks a login; on kOk, token and csrf name the new session. retryAfter:
  // seconds to wait on kTooMany. An unknown user costs as much as a wrong
  // password, so timing does not tell which names exist.
  LoginResult Login(const std::string& address, const std::string& user,
                    const std::string& password, Clock::time_point now, std::string& token,
                    std::string& csrf, int& retryAfter);
  // The live session of a token, or nullptr.
  const SWebSession* Find(const std::string& token, Clock::time_point now);
  void Logout(const std::string& token);
  size_t Count() const { return m_sessions.size(); }

 private:
  void ForgetOldFailures(Clock::time_point now);

  const std::vector<SWebUser> m_users;
  const std::chrono::seconds m_lifetime;
  std::map<std::string, SWebSession> m_sessions;
  std::map<std::string, std::vector<Clock::time_point>> m_failures;  // per address
  std::vector<Clock::time_point> m_allFailures;
};

}  // namespace qnvrecorder
