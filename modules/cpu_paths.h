// Which wider instruction paths the modules may take. The processor is asked
// once, the first time a module wants to know; every module chooses through
// these functions and nowhere else.
//
// The pattern of a module with wider paths: its kernel is written once as an
// inline body, and a small function per instruction set, marked with the
// target attribute below, instantiates it; the kernel's entry calls the
// widest one the processor offers. All give the same bits. (Where the body
// needs vector types of its own per instruction set, as CalcStatistic's
// lanes do, the body is a header built once per set, the wide one under
// `#pragma GCC target` with the same target.)
//
// The tests also build the modules with VELMORA_BASELINE_ONLY, which keeps
// every module to its baseline path, so that the same tests check both.
#pragma once

#define VELMORA_TARGET_AVX2 __attribute__((target("avx2,fma")))
#define VELMORA_TARGET_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512dq")))

namespace velmora::cpu {

struct Paths {
    bool avx2 = false;     // avx2 with fma, which every processor with avx2 has had
    bool avx512 = false;   // avx512 f, bw, vl and dq
};

inline Paths detect() noexcept {
    Paths p;
#ifndef VELMORA_BASELINE_ONLY
    __builtin_cpu_init();
    p.avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    p.avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq");
#endif
    return p;
}

// The answer is fixed for the life of the process, so it is kept.
inline const Paths& paths() noexcept {
    static const Paths p = detect();
    return p;
}

inline bool avx2() noexcept { return paths().avx2; }
inline bool avx512() noexcept { return paths().avx512; }

}  // namespace velmora::cpu
