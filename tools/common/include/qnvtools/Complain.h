// Complain: how a tool says why it stops, "PROGRAM: MESSAGE" on stderr, and
// hands back the exit status, so a main can `return Usage("...")`.
#ifndef QNVTOOLS_COMPLAIN_H
#define QNVTOOLS_COMPLAIN_H

#include <cstdio>
#include <string>

namespace qnvtools {

inline int Complain(const char* program, const std::string& message, int status) {
  std::fprintf(stderr, "%s: %s\n", program, message.c_str());
  return status;
}

}  // namespace qnvtools

#endif  // QNVTOOLS_COMPLAIN_H
