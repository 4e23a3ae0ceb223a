// Runs a fuzz target without libFuzzer, for the builds made with g++: every
// file named (or found in a named directory) is one input, and -random=N
// adds N pseudo-random inputs (fixed seed) of up to 512 bytes. Any broken
// rule aborts, as it does under the fuzzer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void RunFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  long files = 0, random = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("-random=", 0) == 0) {
      const long n = std::stol(arg.substr(8));
      std::mt19937 rng(8);
      for (long k = 0; k < n; ++k) {
        std::vector<std::uint8_t> bytes(rng() % 513);
        for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>(rng());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        ++random;
      }
      continue;
    }
    std::vector<std::filesystem::path> paths;
    if (std::filesystem::is_directory(arg)) {
      for (const auto& e : std::filesystem::directory_iterator(arg))
        if (e.is_regular_file()) paths.push_back(e.path());
      std::sort(paths.begin(), paths.end());
    } else {
      paths.push_back(arg);
    }
    for (const auto& p : paths) {
      RunFile(p);
      ++files;
    }
  }
  std::printf("%ld inputs from files and %ld random inputs: every call kept the rules\n", files,
              random);
  return files + random > 0 ? 0 : 2;
}
