// mexrun: calls a MEX file's gateway once from the command line, with
// arguments read from .npy files or given as numbers, and saves its first
// output as a .npy file.
//
// Exit codes: 0 success; 1 the gateway raised an error (printed as
// "ID: message"); 2 anything else that stops the run (usage, input files, a
// MEX file that will not load, an output that is not a real double array,
// writing the output).
//
// Ctrl-C (SIGINT; the console's Ctrl-C on Windows) sets the host's interrupt
// flag, as an interactive host does: a gateway that asks for it stops early
// with its ":interrupted" error, and mexrun exits 1.
#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <csignal>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "npy.h"
#include "standin_host.h"

namespace {

constexpr int kOk = 0;
constexpr int kGatewayError = 1;
constexpr int kFailure = 2;

constexpr char kUsage[] =
    "usage: mexrun MEXFILE ARG... -o OUT.npy [-o OUT2.npy ...]\n"
    "\n"
    "Calls the gateway of MEXFILE with the given inputs and as many outputs\n"
    "as -o options, and writes output k to the k-th file (float64, Fortran\n"
    "order).\n"
    "\n"
    "Each ARG is either a path ending in .npy, passed as a real double array\n"
    "of the file's shape (a 0-d array as 1x1, shape (n,) as n x 1), or a\n"
    "number (such as 3, -0.5, 1e3, nan, inf), passed as a 1x1 double.\n"
    "\n"
    "Exit status: 0 success; 1 the MEX file raised an error, printed on\n"
    "stderr as 'ID: message'; 2 usage errors, unreadable inputs, a MEX file\n"
    "that does not load, an output that is not a real double array, or a\n"
    "failure to write OUT.npy.\n";

// Stops the run with exit code 2 and a message on stderr.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Options {
  std::string mex_file;
  std::vector<std::string> args;
  std::vector<std::string> outputs;
};

bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool ParseNumber(const std::string& text, double& value) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  value = std::strtod(begin, &end);
  // Overflow to inf is the number the user wrote, rounded; underflow to a
  // subnormal or zero likewise. Only text that is not a number is refused.
  return end != begin && *end == '\0';
}

Options ParseCommandLine(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-o") {
      if (i + 1 >= argc) throw Failure("-o needs a file name");
      options.outputs.push_back(argv[++i]);
      if (options.outputs.back().empty()) throw Failure("an output file name is empty");
    } else if (options.mex_file.empty()) {
      options.mex_file = arg;
    } else {
      options.args.push_back(arg);
    }
  }
  if (options.mex_file.empty()) throw Failure("no MEX file given");
  if (options.outputs.empty()) throw Failure("no output file given (-o OUT.npy)");
  double unused = 0;
  for (const std::string& arg : options.args)
    if (!EndsWith(arg, ".npy") && !ParseNumber(arg, unused))
      throw Failure("argument '" + arg + "' is neither a .npy file nor a number");
  return options;
}

std::vector<int> HostDims(const std::vector<std::int64_t>& shape, const std::string& path) {
  std::vector<int> dims;
  for (std::int64_t d : shape) {
    if (d > std::numeric_limits<int>::max())
      throw Failure(path + ": extent " + std::to_string(d) + " exceeds the host's 32-bit limit");
    dims.push_back(static_cast<int>(d));
  }
  if (dims.empty()) dims = {1, 1};
  if (dims.size() == 1) dims.push_back(1);
  return dims;
}

// Frees the host arrays of the run on every way out.
struct Arrays {
  std::vector<mxArray*> owned;
  ~Arrays() {
    for (mxArray* a : owned) standin::Destroy(a);
  }
  mxArray* Keep(mxArray* a) {
    if (a == nullptr) throw Failure("out of memory creating an input");
    owned.push_back(a);
    return a;
  }
};

#ifdef _WIN32

// The text of the last Windows error, on one line.
std::string LastErrorText() {
  const DWORD code = GetLastError();
  char* text = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string out = n > 0 && text != nullptr ? std::string(text, n) : "error " + std::to_string(code);
  LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) out.pop_back();
  return out;
}

// Loads the MEX file, a DLL, as the host does: by path, with the DLLs it
// imports (libmx.dll, libmex.dll) found next to the runner, where they are
// already loaded. Its gateway, or null when it exports none.
standin::MexFunction LoadGateway(const std::string& path) {
  std::string native = path;
  for (char& c : native)
    if (c == '/') c = '\\';
  HMODULE module = LoadLibraryA(native.c_str());
  if (module == nullptr) throw Failure("cannot load MEX file " + path + ": " + LastErrorText());
  FARPROC symbol = GetProcAddress(module, "mexFunction");
  if (symbol == nullptr) return nullptr;
  return reinterpret_cast<standin::MexFunction>(reinterpret_cast<void*>(symbol));
}

#else

// Loads the MEX file as the host does; the libraries it links (libmx.so,
// libmex.so, libmat.so) are already loaded with the runner and are reused
// by soname. Its gateway, or null when it exports none.
standin::MexFunction LoadGateway(const std::string& path) {
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* why = dlerror();
    throw Failure("cannot load MEX file " + path + ": " + (why ? why : "unknown error"));
  }
  dlerror();
  void* symbol = dlsym(module, "mexFunction");
  return reinterpret_cast<standin::MexFunction>(symbol);
}

#endif

std::string OneLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  for (char& c : text)
    if (c == '\n' || c == '\r') c = ' ';
  return text;
}

int Run(const Options& options) {
  Arrays arrays;
  std::vector<const mxArray*> inputs;
  for (const std::string& arg : options.args) {
    if (EndsWith(arg, ".npy")) {
      // The file's data go straight into the host array.
      mxArray* input = nullptr;
      try {
        npy::ReadInto(arg, [&](const std::vector<std::int64_t>& shape) {
          input = arrays.Keep(standin::CreateDouble(HostDims(shape, arg)));
          return mxGetPr(input);
        });
      } catch (const std::exception& e) {
        throw Failure(e.what());
      }
      inputs.push_back(input);
    } else {
      double value = 0;
      ParseNumber(arg, value);  // checked with the command line
      inputs.push_back(arrays.Keep(standin::CreateScalar(value)));
    }
  }

  // The module stays loaded until exit: unloading code that may have left
  // thread-local destructors or worker threads behind gains nothing.
  const standin::MexFunction gateway = LoadGateway(options.mex_file);
  if (gateway == nullptr)
    throw Failure(options.mex_file + " has no mexFunction: not a MEX file");

  const int nlhs = static_cast<int>(options.outputs.size());
  std::vector<mxArray*> outputs(nlhs, nullptr);
  const standin::CallResult result =
      standin::Call(gateway, nlhs, outputs.data(), static_cast<int>(inputs.size()), inputs.data());
  if (!result.ok) {
    const std::string message = OneLine(result.message);
    if (result.id.empty())
      std::fprintf(stderr, "%s\n", message.c_str());
    else
      std::fprintf(stderr, "%s: %s\n", result.id.c_str(), message.c_str());
    return kGatewayError;
  }
  for (mxArray* output : outputs)
    if (output != nullptr) arrays.Keep(output);
  // Every output is checked before the first file is written.
  for (int k = 0; k < nlhs; ++k) {
    const mxArray* output = outputs[k];
    const std::string which = "output " + std::to_string(k + 1);
    if (output == nullptr) throw Failure("the MEX file returned no " + which);
    if (!mxIsDouble(output) || mxIsComplex(output) || mxIsSparse(output))
      throw Failure(which + " is not a real, full double array");
  }
  for (int k = 0; k < nlhs; ++k) {
    const mxArray* output = outputs[k];
    std::vector<std::int64_t> shape;
    for (int d : standin::Dimensions(output)) shape.push_back(d);
    try {
      npy::Write(options.outputs[k], shape, mxGetPr(output), mxGetNumberOfElements(output));
    } catch (const std::exception& e) {
      throw Failure(e.what());
    }
  }
  return kOk;
}

#ifdef _WIN32
BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  utSetInterruptPending(true);
  return TRUE;
}
#else
extern "C" void OnInterrupt(int) { utSetInterruptPending(true); }
#endif

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
#else
  std::signal(SIGINT, &OnInterrupt);
#endif
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-o") {
      ++i;  // a file name, even one spelled --help
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return kOk;
    }
  }
  try {
    Options options;
    try {
      options = ParseCommandLine(argc, argv);
    } catch (const Failure& e) {
      std::fprintf(stderr, "mexrun: %s\n\n%s", e.what(), kUsage);
      return kFailure;
    }
    return Run(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mexrun: %s\n", e.what());
    return kFailure;
  }
}
