#include "float_buffer.h"

#include <cstdint>
#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace {

constexpr size_t huge_page = size_t{2} << 20;

void advise_huge_pages(void *block, size_t bytes)
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (bytes < 2 * huge_page) {
        return;
    }
    // Only whole huge pages inside the block can be backed by them.
    const uintptr_t start = (reinterpret_cast<uintptr_t>(block) + huge_page - 1) & ~(huge_page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + bytes) & ~(huge_page - 1);
    if (end > start) {
        madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);  // advice only: failure is harmless
    }
#else
    (void)block;
    (void)bytes;
#endif
}

float *allocate(size_t count, bool zeroed)
{
    if (count > SIZE_MAX / sizeof(float)) {
        return nullptr;
    }
    const size_t bytes = count > 0 ? count * sizeof(float) : 1;
    void *block = zeroed ? std::calloc(bytes, 1) : std::malloc(bytes);
    if (block != nullptr) {
        advise_huge_pages(block, bytes);
    }
    return static_cast<float *>(block);
}

}  // namespace

float *allocate_float_buffer(size_t count)
{
    return allocate(count, false);
}

float *allocate_zeroed_float_buffer(size_t count)
{
    return allocate(count, true);
}
