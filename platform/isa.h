// The instruction sets the filters' vector kernels are built for, which of
// them this processor runs, and which one a call uses.
//
// One detection serves the whole process: the processor's features and the
// DENOISERS_ISA choice are read once, on first use, and never change after.
#pragma once

namespace platform {

// kAuto: the process's choice (DENOISERS_ISA, or else the widest set this
// processor runs). kScalar is the plain scalar code, the reference of
// every kernel; the others are the x86-64 vector sets.
enum class Isa { kAuto, kScalar, kSse2, kAvx2, kAvx512 };

// The concrete sets, narrowest first.
inline constexpr Isa kIsas[] = {Isa::kScalar, Isa::kSse2, Isa::kAvx2, Isa::kAvx512};

// "scalar", "sse2", "avx2", "avx512" ("auto" for kAuto).
const char* IsaName(Isa isa);

// True when kernels for `isa` are built in and this processor (with its
// operating system's saving of the wider registers) runs them. kAuto: false.
bool IsaRuns(Isa isa);

// The widest set this processor runs.
Isa WidestIsa();

// The set a call that asked for `requested` uses: itself when it runs here;
// for kAuto the process's choice. kAuto when there is none to be had (the
// forced set cannot run here, or DENOISERS_ISA names no set); IsaRefusal
// then says why.
Isa ResolveIsa(Isa requested);

// Why ResolveIsa(requested) gives kAuto, in one sentence; "" when it does not.
const char* IsaRefusal(Isa requested);

// One entry per concrete set (null where a set is not built in), and the
// entry a resolved set selects.
template <class Entry>
struct PerIsa {
  Entry scalar;
  Entry sse2;
  Entry avx2;
  Entry avx512;

  Entry For(Isa isa) const {
    switch (isa) {
      case Isa::kSse2: return sse2;
      case Isa::kAvx2: return avx2;
      case Isa::kAvx512: return avx512;
      default: return scalar;
    }
  }
};

}  // namespace platform
