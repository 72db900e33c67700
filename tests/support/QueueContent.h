// The whole content of a pre-record queue, for comparing two queues: the held
// bytes, then every frame record.
#ifndef QNV_TESTS_SUPPORT_QUEUECONTENT_H
#define QNV_TESTS_SUPPORT_QUEUECONTENT_H

#include <cstdint>
#include <vector>

#include "record/CStreamQueue.h"

namespace qnv {

inline std::vector<uint8_t> QueueContent(const CStreamQueue& q) {
  std::vector<uint8_t> out(q.GetBuffer(), q.GetBuffer() + q.GetTotal());
  for (size_t i = 0; i < q.Count(); ++i)
    out.insert(out.end(), q.Frame(i).bytes, q.Frame(i).bytes + protocol::kFrameHeaderSize);
  return out;
}

}  // namespace qnv

#endif  // QNV_TESTS_SUPPORT_QUEUECONTENT_H
