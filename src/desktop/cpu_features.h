// Instruction sets chosen at run time: the build targets plain x86-64, and the hot loops have
// wider variants compiled for newer processors.
#pragma once

#if defined(__x86_64__) || defined(__i386__)
#define VTX_HAVE_AVX2_VARIANTS 1
#endif

namespace vtx {

inline bool CpuHasAvx2() {
#if defined(VTX_HAVE_AVX2_VARIANTS)
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
#else
  return false;
#endif
}

}  // namespace vtx
