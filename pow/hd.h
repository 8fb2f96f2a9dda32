// Host/device portability for the proof-of-work code.
//
// Everything the kernels need (hash families, nighthash, tile generation, the jump and the
// final check) is written once, in headers, as `KEST_HD inline` functions. The host library
// compiles them as ordinary C++; the device module compiles the same headers with nvcc, and the
// software device runs them on CPU threads. Those paths therefore allocate nothing, throw
// nothing and call no library function other than memcpy/memset; the one console message (an
// invalid nighthash type) goes through a hook that is empty in device code.
//
// Contract for the CUDA module that includes these headers for device code
// ------------------------------------------------------------------------
// The constant tables are reached through accessor macros (pow/tables.h) that select a host
// array in host code and a device symbol under __CUDA_ARCH__. Before it includes any other
// pow/ header, the device module must
//   1. include "pow/tables.h" (it holds the table values as macro lists and nothing else that
//      touches the device symbols), then
//   2. define these five __constant__ arrays, with exactly these names, types and values:
//        __constant__ uint32_t cuda_sha256_k[64]         = {KEST_SHA256_K_VALUES};
//        __constant__ uint8_t  s[256]                    = {KEST_MD2_S_VALUES};
//        __constant__ uint64_t BLAKE2B_IVS[8]            = {KEST_BLAKE2B_IV_VALUES};
//        __constant__ uint8_t  BLAKE2B_SIGMAS[12][16]    = {KEST_BLAKE2B_SIGMA_VALUES};
//        __constant__ uint64_t CUDA_KECCAK_CONSTS[24]    = {KEST_KECCAK_RC_VALUES};
//   3. define `kest_md2_sbox()`, a device function returning an object whose operator[](i)
//      reads entry i of the block's shared-memory copy of the S-box, which device code reads
//      instead of `s` (the copy's layout is the module's choice), and have every kernel that
//      may run MD2 fill that copy (and __syncthreads) before use;
//   4. then include the algorithm headers (pow/sha256.h, pow/nighthash.h, pow/peach.h, ...).
// Floating point in device code goes through the __fadd_rn family (pow/fp.h), so the module
// must be compiled with --fmad=false -ftz=false -prec-div=true (kest_flags does this).
// The haiku tables (pow/haiku.h) and `peach`/`varn_peach` are host-only.
#pragma once

// KEST_HD marks code compiled for both sides. KEST_FORCEINLINE is for small helpers;
// KEST_BLOCKFN for the block functions of the hash families, which stay out of line in device
// code: inlining eight families into every caller multiplies device compile time and code size
// for no gain (a block costs hundreds of instructions, a call a handful). KEST_SIM_INLINE marks
// the large dispatching functions, which the compiler may leave out of line: plain inline,
// except for the cycle-level simulator, which runs no out-of-line device function.
#if defined(__CUDACC__)
#define KEST_HD __host__ __device__
#define KEST_FORCEINLINE __forceinline__
#if defined(KEST_GPUSIM)  // the cycle-level simulator cannot run out-of-line device functions
#define KEST_BLOCKFN __forceinline__
#define KEST_SIM_INLINE __forceinline__
#else
#define KEST_BLOCKFN inline __noinline__
#define KEST_SIM_INLINE inline
#endif
#elif defined(__GNUC__) || defined(__clang__)
#define KEST_HD
#define KEST_FORCEINLINE inline __attribute__((always_inline))
#define KEST_BLOCKFN inline
#define KEST_SIM_INLINE inline
#else
#define KEST_HD
#define KEST_FORCEINLINE inline
#define KEST_BLOCKFN inline
#define KEST_SIM_INLINE inline
#endif

// Full unrolling of fixed-count loops (nvcc and GCC/Clang spell it differently; the host pass
// of nvcc hands its pragmas to the host compiler, so it gets none).
#if defined(__CUDA_ARCH__)
#define KEST_UNROLL _Pragma("unroll")
#elif defined(__CUDACC__)
#define KEST_UNROLL
#elif defined(__GNUC__) || defined(__clang__)
#define KEST_UNROLL _Pragma("GCC unroll 64")
#else
#define KEST_UNROLL
#endif

// Everything here assumes a little-endian target (x86-64 hosts and NVIDIA GPUs are).
#if defined(__BYTE_ORDER__) && defined(__ORDER_LITTLE_ENDIAN__) && \
    __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "The proof-of-work code requires a little-endian target"
#endif
