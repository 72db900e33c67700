// The library's names for the annotated locks: they are defined once, in
// locks/include/qnvlocks/Locks.h (shared with the player and the tools),
// which also brings the annotation macros (GUARDED_BY, REQUIRES, ...).
#ifndef QNV_PLATFORM_THREADANNOTATIONS_H
#define QNV_PLATFORM_THREADANNOTATIONS_H

#include "qnvlocks/Locks.h"

namespace qnv::platform {

using qnv::locks::CBasicMutex;
using qnv::locks::CLockGuard;
using qnv::locks::CMutex;
using qnv::locks::CRecursiveMutex;
using qnv::locks::CUniqueLock;

}  // namespace qnv::platform

#endif  // QNV_PLATFORM_THREADANNOTATIONS_H
