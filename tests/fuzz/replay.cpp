//===- replay.cpp - Runs a fuzz target over its starting corpus -----------===//
//
// The regression run of a fuzz target without the fuzzer: every file named
// on the command line, and every file below every folder named there (in
// name order), goes once through LLVMFuzzerTestOneInput. A fault ends the
// program as it would end the fuzzer; otherwise it says how many inputs ran.
//
//===----------------------------------------------------------------------===//
#include "FuzzSupport.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char **argv) {
  std::vector<std::filesystem::path> inputs;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path given(argv[i]);
    if (std::filesystem::is_directory(given)) {
      for (const auto &entry : std::filesystem::recursive_directory_iterator(given))
        if (entry.is_regular_file())
          inputs.push_back(entry.path());
    } else {
      inputs.push_back(given);
    }
  }
  std::sort(inputs.begin(), inputs.end());
  if (inputs.empty()) {
    std::fprintf(stderr, "no inputs to replay\n");
    return 2;
  }
  for (const std::filesystem::path &input : inputs) {
    std::ifstream in(input, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "cannot read %s\n", input.string().c_str());
      return 2;
    }
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::fprintf(stderr, "replaying %s\n", input.string().c_str());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
  }
  std::printf("replayed %zu inputs\n", inputs.size());
  return 0;
}
