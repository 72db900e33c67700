// COutputFile: the file an export writes, made without harm to anything else.
// The path must be a regular file or absent, and not the same file (device
// and inode) as any input. The writer writes a temporary file beside it that
// this run creates; Commit renames it over the path once the export is
// complete. Nothing but that temporary file is ever removed, so a failed
// export leaves whatever the path held untouched. One thread; the object
// owns the temporary file until Commit.
#ifndef QNVRECORDING_COUTPUTFILE_H
#define QNVRECORDING_COUTPUTFILE_H

#include <string>
#include <vector>

#include "qnvrecording/CRecordingReader.h"

namespace qnvrec {

class COutputFile {
 public:
  COutputFile() = default;
  ~COutputFile();  // removes the temporary file unless committed
  COutputFile(const COutputFile&) = delete;
  COutputFile& operator=(const COutputFile&) = delete;

  // Checks path against the inputs and creates the temporary file. False with
  // a message naming the cause; nothing is created then.
  bool Prepare(const std::string& path, const std::vector<SFileId>& inputs, std::string& error);
  // Where the writer writes until Commit.
  const std::string& WorkPath() const { return m_temp; }
  // Puts the finished file in place.
  bool Commit(std::string& error);

 private:
  // The temporary file is still the one this run created.
  bool StillOurs() const;
  bool CheckTarget(std::string& error) const;

  std::string m_path;
  std::string m_temp;
  std::vector<SFileId> m_inputs;
  SFileId m_tempId;
  bool m_committed = false;
};

}  // namespace qnvrec

#endif  // QNVRECORDING_COUTPUTFILE_H
