#pragma once

// KORVAN_VECTOR_CLONES marks the few loops that carry most of a large run's
// arithmetic: the compiler builds them once more for each of the wider vector
// units of x86-64 processors, and the program picks the version for the
// processor it runs on. Every version does the same IEEE operations, each
// rounded alike (no fused multiply-add: -ffp-contract=off), so the results
// are the same bits on every processor.
//
// Such a function must never throw, nor allocate: GCC takes a call to it for
// one that cannot throw, so an exception leaving it (std::bad_alloc) ends the
// program in std::terminate instead of reaching any handler. Its caller
// makes the scratch space.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__ELF__) && \
    !defined(KORVAN_NO_VECTOR_CLONES)
#define KORVAN_VECTOR_CLONES __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define KORVAN_VECTOR_CLONES
#endif
