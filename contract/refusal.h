// What a refused or failed call reports, the same from every front end (the
// MEX gateways, the Python binding): the identifier "<name>:<what>" and its
// sentence. The rules of each function live in its contract file
// (quillon_contract.h, ...), each text once; a front end only passes the
// refusal on, in its host's way.
#pragma once

#include <cstddef>

#include "call.h"
#include "isa.h"

namespace contract {

// What kind of fault a refusal reports, for front ends that tell them apart
// (Python raises TypeError, ValueError, MemoryError, KeyboardInterrupt or
// RuntimeError); the MEX hosts raise every one alike.
enum class Fault {
  kKind,         // an argument is not the kind of value its input takes
  kValue,        // an argument's value or size is one the call does not take
  kMemory,       // memory ran out
  kThreads,      // a worker thread could not be started
  kInterrupted,  // the interrupt query stopped the call
  kOther,        // an instruction set that cannot run, or a core's refusal
};

// Plain data: a MEX host's error call may leave the frame that holds it.
struct Refusal {
  bool refused = false;
  Fault fault = Fault::kValue;
  char id[96] = {};
  char message[512] = {};
  // A worker thread did not start (NAME:threads, or NAME:memory when its
  // stack did not fit): the MEX hosts also print "Threads cannot be created".
  bool worker_start_failed = false;
};

// Records "<name>:<what>" and the sentence unless `refusal` holds one
// already, the first fault of a call being the one reported. Returns false,
// so that a rule can end with `return Refuse(...)`.
bool Refuse(Refusal& refusal, const char* name, const char* what, Fault fault,
            const char* format, ...) __attribute__((format(printf, 5, 6)));

// A function's calling form, and every <what> its calls may report.
struct Signature {
  const char* name;            // the identifier prefix, "quillon"
  int inputs;                  // exactly this many inputs
  int max_outputs;             // at most this many outputs
  const char* usage;           // "quillon(noisy, sigma, rician)"
  const char* outputs;         // "[denoised, first_estimate]"
  const char* const* whats;    // null-terminated
  const char* const* found_by_work;  // those only the work can find, from the data; null-terminated
  int optional_inputs = 0;     // trailing inputs that may be left out, beyond `inputs`
};

// The arity rule of every MEX function: `inputs` inputs (and up to
// `optional_inputs` more), at most `max_outputs` outputs (NAME:nargin,
// NAME:nargout).
bool CheckArity(const Signature& signature, int inputs, int outputs, Refusal& refusal);

// Records the failure a core's status stands for; false for kOk. Statuses
// the contract's checks rule out (kInvalidRequest, kValueRange,
// kTooLittleData) are NAME:internal: the front end's own fault.
bool ReportStatus(const Signature& signature, platform::Status status, platform::Isa isa,
                  Refusal& refusal);

}  // namespace contract
