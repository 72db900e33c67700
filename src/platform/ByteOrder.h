// Little-endian loads and stores for wire and file layouts: the library's
// names for the public readers of QNVNetSdk.h, so the layout code hosts use
// and the library's own are one definition.
#ifndef QNV_PLATFORM_BYTEORDER_H
#define QNV_PLATFORM_BYTEORDER_H

#include <cstdint>

#include "QNVNetSdk.h"

namespace qnv::platform {

inline uint16_t LoadLe16(const uint8_t* p) { return ::QnvLoadLe16(p); }
inline uint32_t LoadLe32(const uint8_t* p) { return ::QnvLoadLe32(p); }
inline void StoreLe32(uint8_t* p, uint32_t v) { ::QnvStoreLe32(p, v); }

}  // namespace qnv::platform

#endif  // QNV_PLATFORM_BYTEORDER_H
