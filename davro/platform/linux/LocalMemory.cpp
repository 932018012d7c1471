// LocalAlloc and LocalFree over the C library's heap. Only fixed blocks exist here, so a
// block's handle is its address and there is nothing to lock or unlock.
#include <davro/platform/Win32.h>

#include <cstdlib>

namespace davro::win32 {

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
    if ((flags & ~LMEM_ZEROINIT) != LMEM_FIXED) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // malloc(0) may give NULL; Windows gives a block of no bytes.
    const SIZE_T size = bytes == 0 ? 1 : bytes;
    void* block = (flags & LMEM_ZEROINIT) != 0 ? std::calloc(1, size) : std::malloc(size);
    if (block == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return block;
}

HLOCAL LocalFree(HLOCAL memory) {
    std::free(memory);
    return nullptr;
}

}  // namespace davro::win32
