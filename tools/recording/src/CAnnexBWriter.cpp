#include "qnvrecording/CAnnexBWriter.h"

#include <cerrno>
#include <cstring>

namespace qnvrec {

CAnnexBWriter::~CAnnexBWriter() {
  if (m_file) {
    m_file.reset();
    std::remove(m_path.c_str());
  }
}

bool CAnnexBWriter::Begin(const SNalRef&, const SNalRef&, const STimeBase&, std::string& error) {
  // The parameter sets travel in the stream in front of the first picture.
  m_file.reset(std::fopen(m_path.c_str(), "wb"));
  if (!m_file) {
    error = "cannot create " + m_path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool CAnnexBWriter::Write(const SAccessUnit& unit, std::string& error) {
  if (std::fwrite(unit.annexB.data(), 1, unit.annexB.size(), m_file.get()) != unit.annexB.size()) {
    error = "cannot write " + m_path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool CAnnexBWriter::Finish(std::string& error) {
  FILE* f = m_file.release();
  if (f != nullptr && std::fclose(f) != 0) {
    error = "cannot write " + m_path + ": " + std::strerror(errno);
    std::remove(m_path.c_str());
    return false;
  }
  return true;
}

}  // namespace qnvrec
