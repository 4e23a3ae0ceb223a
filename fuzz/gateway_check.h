// What every call of a gateway must come to, whatever its arguments: either
// a result (each output a real double array of input 1's dimensions) or an
// error raised through the host with one of the gateway's own identifiers.
// Either way it changes no input, hands back every block, leaves no array
// alive and no thread running, and a call that failed only because a worker
// could not start works when repeated, with the bits of a call that never
// failed. Anything else aborts the process with a description of the call,
// which is what the fuzzer records as a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "arg_decoder.h"
#include "standin_host.h"

namespace fuzzargs {

struct Gateway {
  const char* name;  // identifiers are "<name>:<what>"
  standin::MexFunction fn;
  int max_outputs;
  std::vector<std::string> ids;  // every <what> the gateway may raise
};

// Decodes `data` and runs one call through the stand-in host; returns only
// when every rule held.
void CheckOneCall(const Gateway& gateway, const std::uint8_t* data, std::size_t size,
                  const Limits& limits = {});

// Threads of this process running right now (not those on their way out).
int ThreadCount();

}  // namespace fuzzargs
