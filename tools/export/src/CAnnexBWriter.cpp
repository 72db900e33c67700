#include "qnvrecording/CAnnexBWriter.h"

#include <cerrno>
#include <cstring>

namespace qnvrec {

CAnnexBWriter::~CAnnexBWriter() {
  if (file_) {
    file_.reset();
    std::remove(path_.c_str());
  }
}

bool CAnnexBWriter::Begin(const SNalRef&, const SNalRef&, const STimeBase&, std::string& error) {
  // The parameter sets travel in the stream in front of the first picture.
  file_.reset(std::fopen(path_.c_str(), "wb"));
  if (!file_) {
    error = "cannot create " + path_ + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool CAnnexBWriter::Write(const SAccessUnit& unit, std::string& error) {
  if (std::fwrite(unit.annexB.data(), 1, unit.annexB.size(), file_.get()) != unit.annexB.size()) {
    error = "cannot write " + path_ + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool CAnnexBWriter::Finish(std::string& error) {
  FILE* f = file_.release();
  if (f != nullptr && std::fclose(f) != 0) {
    error = "cannot write " + path_ + ": " + std::strerror(errno);
    std::remove(path_.c_str());
    return false;
  }
  return true;
}

}  // namespace qnvrec
