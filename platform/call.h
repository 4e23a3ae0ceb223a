// What every filter call shares: its options and the status it returns.
#pragma once

#include <atomic>
#include <cstdint>

#include "isa.h"

namespace platform {

// Per-call options, the same for every filter.
struct CallOptions {
  // The vector instruction set of the kernels. kAuto: the process's choice
  // (DENOISERS_ISA, or the widest this processor runs). Every set gives
  // the same bits, in both filters.
  Isa isa = Isa::kAuto;
  // The most OS threads the call runs on; 0 or more than AvailableThreads():
  // AvailableThreads(). The work is split the same way for any number, so
  // the bits do not depend on it.
  int threads = 0;
  // Asked every few tens of milliseconds, only on the thread that called
  // the core, while the call's workers run; true stops the call with
  // kInterrupted. Null: the call cannot be interrupted.
  bool (*interrupt_query)(void* context) = nullptr;
  void* interrupt_context = nullptr;
  // When set, the share of one volume's work done so far, 0 to 1, written
  // by the thread that called the core as the interrupt query is asked (so
  // it moves within a pass), for a progress display on another thread. It
  // is not set to 1 at the end: the return says that.
  std::atomic<double>* progress = nullptr;
};

// Where a volume lies along the slices of a larger one, when it is a chunk
// of it. The workers then cut their slabs where a call on the whole volume
// cuts them, so that a voxel whose inputs all lie in the chunk receives its
// additions in the whole call's order and gets its bits.
struct Chunk {
  int whole_slices = 0;  // the whole volume's slices; 0: the volume is whole
  int first_slice = 0;   // the whole volume's slice that is this volume's first

  bool Valid(int slices) const {
    return whole_slices == 0 ||
           (first_slice >= 0 && int64_t{first_slice} + slices <= whole_slices);
  }
};

// How a call ended. On anything but kOk the outputs are unspecified.
enum class Status {
  kOk,
  kInvalidRequest,   // extents, a missing volume or a too small scratch buffer
  kValueRange,       // a voxel value beyond what the call can handle (quillon, Rician noise)
  kIsaUnavailable,   // the instruction set asked for cannot run here (IsaRefusal says why)
  kOutOfMemory,      // the call could not obtain its working memory
  kThreadsFailed,    // a worker thread could not be started
  kInterrupted,      // the interrupt query asked the call to stop
  kTooLittleData,    // too few usable voxels to estimate from (noise_sigma)
};

// "ok", "invalid request", ...: for messages and logs.
const char* StatusName(Status status);

}  // namespace platform
