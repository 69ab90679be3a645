#pragma once

// Marks a sample loop to be built twice, for the x86-64 baseline and for AVX2; the loader
// picks the one the processor runs. Where it can, a loop takes twice the samples per
// instruction, and the programs still run on any x86-64 processor.
#if defined(__x86_64__) && defined(__GNUC__)
#define KELVO_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KELVO_VECTOR_CLONES
#endif
