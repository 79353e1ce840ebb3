// Runs the decoder fuzz target once over each file named on the command line,
// without libFuzzer, so that the seeds and every input that once crashed the
// decoder are a test of any build (of the sanitizer build especially, where a
// memory or undefined-behaviour fault aborts the run). Mutation fuzzing needs
// the libFuzzer build instead (`make fuzz`).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::ifstream input(argv[i], std::ios::binary);
    if (!input) {
      std::fprintf(stderr, "cannot read %s\n", argv[i]);
      return 1;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(input)),
                                  std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  std::printf("decoded %d inputs\n", argc - 1);
  return 0;
}
