// What every call of a gateway must come to, whatever its arguments: either
// a result (each output a real double array of the shape Outputs names) or
// an error raised through the host with one of the gateway's own
// identifiers. Either way it changes no input, hands back every block,
// leaves no array alive and no thread running, and a call that failed only
// because a worker could not start works when repeated, with the bits of a
// call that never failed. A worker that cannot start changes no other
// error, except one the work finds in the data (Gateway::work_ids).
// Anything else aborts the process with a description of the call, which
// is what the fuzzer records as a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "arg_decoder.h"
#include "refusal.h"
#include "standin_host.h"

namespace fuzzargs {

// The dimensions a gateway's outputs have, from its input 1.
enum class Outputs {
  kLikeInput1,    // input 1's (the filters)
  kRowPerVolume,  // 1 x the volumes along the dimensions past the third (noise_sigma)
};

struct Gateway {
  // Its name, outputs and every <what> it may raise (identifiers are
  // "<name>:<what>"), and those the work itself may raise from the data it
  // reads (the others come from checks made before any worker starts): a
  // worker that cannot start may turn these into "threads" too.
  const contract::Signature& signature;
  standin::MexFunction fn;
  Outputs outputs = Outputs::kLikeInput1;
  // With kRowPerVolume, the rows of the second output (one column per
  // volume: noise_sigma's diagnostics); 0 when there is none.
  int info_rows = 0;
};

// Decodes `data` and runs one call through the stand-in host; returns only
// when every rule held.
void CheckOneCall(const Gateway& gateway, const std::uint8_t* data, std::size_t size,
                  const Limits& limits = {});

// Threads of this process running right now (not those on their way out).
int ThreadCount();

}  // namespace fuzzargs
