// What kernel32's parts share.
#ifndef QUILLMOTE_PLATFORM_KERNEL32_PARTS_H
#define QUILLMOTE_PLATFORM_KERNEL32_PARTS_H

#include <windows.h>

namespace qmsim::kernel32 {

// Sets the calling thread's last error and returns FALSE.
BOOL Fail(DWORD error);

}  // namespace qmsim::kernel32

#endif
