// CArgReader: walks a program's arguments one at a time, for the mains of the
// tools, the soak runs and the benchmarks. It copies only the current
// argument; argv and the program name must outlive it. One thread.
//
//   qnvtools::CArgReader args(argc, argv, "qnv-catalogue");
//   while (args.Next()) {
//     const std::string arg = args.Arg();
//     if (arg == "--camera") {
//       if (!args.Value(camera)) return Usage("--camera needs a name");
//     } ...
//   }
#ifndef QNVTOOLS_CARGREADER_H
#define QNVTOOLS_CARGREADER_H

#include <cstdio>
#include <cstdlib>
#include <string>

#include "qnvtools/ExitStatus.h"

namespace qnvtools {

class CArgReader {
 public:
  // argv[0] is skipped; program is the name messages give.
  CArgReader(int argc, char** argv, const char* program)
      : m_argc(argc), m_argv(argv), m_program(program) {}

  // Steps to the next argument; false when none is left.
  bool Next() {
    if (m_index + 1 >= m_argc) return false;
    m_arg = m_argv[++m_index];
    return true;
  }

  // The argument Next() stepped to; taking its value leaves it as it is.
  const std::string& Arg() const { return m_arg; }

  // Takes the argument after the current one as its value, whatever it looks
  // like ("-5" is a value). When there is none, out is emptied and it returns
  // false, so the caller can say which option wanted one.
  bool Value(std::string& out) {
    if (m_index + 1 >= m_argc) {
      out.clear();
      return false;
    }
    out = m_argv[++m_index];
    return true;
  }

  // Value() for the soak runs and benchmarks, whose answer to a missing value
  // is always the same: "PROGRAM: OPTION needs a value" and kExitUsage.
  const char* ValueOrExit() {
    if (m_index + 1 >= m_argc) {
      std::fprintf(stderr, "%s: %s needs a value\n", m_program, m_arg.c_str());
      std::exit(kExitUsage);
    }
    return m_argv[++m_index];
  }

 private:
  int m_argc;
  char** m_argv;
  const char* m_program;
  int m_index = 0;
  std::string m_arg;
};

}  // namespace qnvtools

#endif  // QNVTOOLS_CARGREADER_H
