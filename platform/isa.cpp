#include "isa.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace platform {
namespace {

bool Detected(Isa isa) {
  switch (isa) {
    case Isa::kScalar:
      return true;
#if defined(DENOISERS_X86_KERNELS)
    case Isa::kSse2:
      return true;  // part of x86-64
    case Isa::kAvx2:
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx2");
    case Isa::kAvx512:
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx512f");
#endif
    default:
      return false;
  }
}

// The process's choice, made once from the environment.
struct ProcessChoice {
  Isa isa = Isa::kAuto;
  std::string refusal;
};

ProcessChoice Choose() {
  ProcessChoice choice;
  const char* forced = std::getenv("DENOISERS_ISA");
  if (forced == nullptr || *forced == '\0') {
    choice.isa = WidestIsa();
    return choice;
  }
  std::string runs;
  for (Isa isa : kIsas) {
    if (!IsaRuns(isa)) continue;
    if (!runs.empty()) runs += ", ";
    runs += IsaName(isa);
  }
  for (Isa isa : kIsas) {
    if (std::strcmp(forced, IsaName(isa)) != 0) continue;
    if (IsaRuns(isa)) {
      choice.isa = isa;
    } else {
      choice.refusal = std::string("DENOISERS_ISA=") + forced +
                       " names an instruction set this processor cannot run; it runs " + runs +
                       ".";
    }
    return choice;
  }
  choice.refusal = std::string("DENOISERS_ISA=") + forced +
                   " names no instruction set; use scalar, sse2, avx2 or avx512 (this "
                   "processor runs " + runs + ").";
  return choice;
}

const ProcessChoice& TheProcessChoice() {
  static const ProcessChoice choice = Choose();
  return choice;
}

}  // namespace

const char* IsaName(Isa isa) {
  switch (isa) {
    case Isa::kAuto: return "auto";
    case Isa::kScalar: return "scalar";
    case Isa::kSse2: return "sse2";
    case Isa::kAvx2: return "avx2";
    case Isa::kAvx512: return "avx512";
  }
  return "unknown";
}

bool IsaRuns(Isa isa) {
  static const bool runs[] = {false, Detected(Isa::kScalar), Detected(Isa::kSse2),
                              Detected(Isa::kAvx2), Detected(Isa::kAvx512)};
  const int i = static_cast<int>(isa);
  return i >= 0 && i < 5 && runs[i];
}

Isa WidestIsa() {
  Isa widest = Isa::kScalar;
  for (Isa isa : kIsas)
    if (IsaRuns(isa)) widest = isa;
  return widest;
}

Isa ResolveIsa(Isa requested) {
  if (requested == Isa::kAuto) return TheProcessChoice().isa;
  return IsaRuns(requested) ? requested : Isa::kAuto;
}

const char* IsaRefusal(Isa requested) {
  if (requested == Isa::kAuto) return TheProcessChoice().refusal.c_str();
  if (IsaRuns(requested)) return "";
  switch (requested) {
    case Isa::kSse2: return "The call asked for SSE2 kernels, which this build or processor lacks.";
    case Isa::kAvx2: return "The call asked for AVX2 kernels, which this build or processor lacks.";
    default: return "The call asked for AVX-512 kernels, which this build or processor lacks.";
  }
}

}  // namespace platform
