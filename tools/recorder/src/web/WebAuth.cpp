#include "web/WebAuth.h"

#include <crypt.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qnvrecorder {
namespace {

// A hash of a password no one has, checked when the user is unknown.
const char* DummyHash() {
  static const std::string hash = [] {
    std::string h, error;
    MakePasswordHash(RandomToken(), h, error);
    return h;
  }();
  return hash.c_str();
}

bool FillRandom(void* out, size_t size) {
  auto* p = static_cast<uint8_t*>(out);
  while (size > 0) {
    const ssize_t n = getrandom(p, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool MakePasswordHash(const std::string& password, std::string& hash, std::string& error) {
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  if (crypt_gensalt_rn("$y$", 0, nullptr, 0, setting, sizeof setting) == nullptr) {
    error = std::string("no salt could be made: ") + std::strerror(errno);
    return false;
  }
  crypt_data data{};
  const char* out = crypt_r(password.c_str(), setting, &data);
  if (out == nullptr || out[0] == '*') {
    error = std::string("the password could not be hashed: ") + std::strerror(errno);
    return false;
  }
  hash = out;
  return true;
}

bool CheckPasswordHash(const std::string& password, const std::string& hash) {
  crypt_data data{};
  const char* out = crypt_r(password.c_str(), hash.c_str(), &data);
  if (out == nullptr || out[0] == '*') return false;
  const size_t n = std::strlen(out);
  if (n != hash.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < n; ++i) diff |= static_cast<unsigned char>(out[i] ^ hash[i]);
  return diff == 0;
}

std::string RandomToken() {
  uint8_t bytes[32];
  if (!FillRandom(bytes, sizeof bytes)) return "";
  static const char kHex[] = "0123456789abcdef";
  std::string token;
  for (uint8_t b : bytes) {
    token += kHex[b >> 4];
    token += kHex[b & 15];
  }
  return token;
}

void CWebSessions::ForgetOldFailures(Clock::time_point now) {
  auto old = [&](Clock::time_point t) { return now - t >= kFailWindow; };
  for (auto it = m_failures.begin(); it != m_failures.end();) {
    std::erase_if(it->second, old);
    it = it->second.empty() ? m_failures.erase(it) : std::next(it);
  }
  std::erase_if(m_allFailures, old);
  for (auto it = m_sessions.begin(); it != m_sessions.end();) {
    it = it->second.expires <= now ? m_sessions.erase(it) : std::next(it);
  }
}

CWebSessions::LoginResult CWebSessions::Login(const std::string& address, const std::string& user,
                                              const std::string& password, Clock::time_point now,
                                              std::string& token, std::string& csrf,
                                              int& retryAfter) {
  ForgetOldFailures(now);
  std::vector<Clock::time_point>& mine = m_failures[address];
  const std::vector<Clock::time_point>* full = nullptr;
  if (mine.size() >= static_cast<size_t>(kFailsPerAddress)) full = &mine;
  if (m_allFailures.size() >= static_cast<size_t>(kFailsInAll)) full = &m_allFailures;
  if (full != nullptr) {
    const auto wait =
        std::chrono::duration_cast<std::chrono::seconds>(full->front() + kFailWindow - now);
    retryAfter = static_cast<int>(std::max<int64_t>(1, wait.count() + 1));
    if (mine.empty()) m_failures.erase(address);
    return LoginResult::kTooMany;
  }
  const auto it = std::find_if(m_users.begin(), m_users.end(),
                               [&](const SWebUser& u) { return u.name == user; });
  const bool ok =
      CheckPasswordHash(password, it != m_users.end() ? it->passwordHash : DummyHash()) &&
      it != m_users.end();
  if (!ok) {
    mine.push_back(now);
    m_allFailures.push_back(now);
    return LoginResult::kRefused;
  }
  if (mine.empty()) m_failures.erase(address);
  if (m_sessions.size() >= kMaxSessions) {
    // The one closest to its end goes.
    auto oldest = std::min_element(m_sessions.begin(), m_sessions.end(), [](auto& a, auto& b) {
      return a.second.expires < b.second.expires;
    });
    m_sessions.erase(oldest);
  }
  token = RandomToken();
  csrf = RandomToken();
  if (token.empty() || csrf.empty()) return LoginResult::kFailed;
  m_sessions[token] = {user, csrf, now + m_lifetime};
  return LoginResult::kOk;
}

const SWebSession* CWebSessions::Find(const std::string& token, Clock::time_point now) {
  auto it = m_sessions.find(token);
  if (it == m_sessions.end()) return nullptr;
  if (it->second.expires <= now) {
    m_sessions.erase(it);
    return nullptr;
  }
  return &it->second;
}

void CWebSessions::Logout(const std::string& token) { m_sessions.erase(token); }

}  // namespace qnvrecorder
