// cache_prefetch: a hint to start loading the cache line at an address. GCC 12 drops a
// __builtin_prefetch that sits under a condition (as in "if the table has slots, prefetch"), so
// on x86 the instruction is an asm statement, which no optimisation removes.
#pragma once

namespace zembric {

inline void cache_prefetch(const void* address) noexcept {
#if defined(__x86_64__) || defined(__i386__)
  asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(address)));
#else
  __builtin_prefetch(address);
#endif
}

}  // namespace zembric
