// A harness without libFuzzer: every file of the folders on the command line goes once through
// the harness's entry, in name order, so that a build with any compiler replays the corpus. A
// failed property or a crash ends the program; its last line names the input.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    std::vector<std::filesystem::path> inputs;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(argv[i], error)) {
      if (entry.is_regular_file()) inputs.push_back(entry.path());
    }
    if (error) {
      std::fprintf(stderr, "cannot read the folder %s\n", argv[i]);
      return 1;
    }
    std::sort(inputs.begin(), inputs.end());
    for (const auto& path : inputs) {
      std::ifstream file(path, std::ios::binary);
      const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
      std::printf("%s\n", path.filename().string().c_str());
      std::fflush(stdout);
      LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      ++replayed;
    }
  }
  std::printf("%zu inputs replayed\n", replayed);
  // A folder without inputs replays nothing: that is no pass.
  return replayed == 0 ? 1 : 0;
}
