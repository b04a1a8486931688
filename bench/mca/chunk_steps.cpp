// SPDX-License-Identifier: MIT
// For bench/mca only: one kernel's chunk step in the full mode, in a loop,
// between llvm-mca's region markers, so that the cost of a chunk can be
// estimated for processors this machine cannot time. The chunk steps are
// internal to their kernel's file, so that file is compiled here whole.
//
// The markers are volatile asm with no memory clobber. Some of the cone's
// broadcasts, which a run makes once before its loop, may still fall inside
// the region. The exact path is marked unlikely and lies outside the region,
// as it does in a run.
#if defined(MCA_NEON)
#include "classify_neon.cpp"
#else
#include "classify_portable.cpp"
#endif

namespace conemask::detail {

// One chunk between the markers: llvm-mca repeats the region as a loop would.
#define MCA_REGION(name, chunk_type)                                                                     \
    [[gnu::noinline, gnu::flatten]] void name(const cone_constants& cone, const std::uint8_t* rgb, std::int16_t* samples) \
    {                                                                                                    \
        const chunk_type chunk(cone);                                                                    \
        __asm__ volatile("# LLVM-MCA-BEGIN " #name);                                                     \
        (void)chunk(rgb, samples, std::true_type{});                                                     \
        __asm__ volatile("# LLVM-MCA-END " #name);                                                       \
    }

#if defined(MCA_NEON)
using neon_full = neon_chunk<true, false>;
using neon_every_angle = neon_chunk<true, true>;
MCA_REGION(full, neon_full)
MCA_REGION(every_angle, neon_every_angle)
#else
// The portable kernel has no form without the angle test: the same step
// serves both.
MCA_REGION(full, portable_chunk)
MCA_REGION(every_angle, portable_chunk)
#endif

}  // namespace conemask::detail
