// Replays saved fuzzer inputs through a target's LLVMFuzzerTestOneInput
// without libFuzzer, so that the seed corpus and every crash input kept as a
// regression run as an ordinary test in every build (gcc, sanitizers).
// Arguments are files or directories (every regular file in them, sorted);
// a target reports a fault by aborting, which fails the test.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

void collect(const std::string& path, std::vector<std::string>& files) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) {
    std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
    std::exit(2);
  }
  if (!S_ISDIR(status.st_mode)) {
    files.push_back(path);
    return;
  }
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> names;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || name[0] == '.') continue;  // .gitkeep and the like
    names.push_back(path + "/" + name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) collect(name, files);
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) collect(argv[i], files);
  for (const std::string& file : files) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    std::fprintf(stderr, "replay: %s (%zu bytes)\n", file.c_str(), bytes.size());
    // A copy of exactly the file's size, so a read past the input is caught.
    std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
    static std::uint8_t no_byte;
    LLVMFuzzerTestOneInput(data.empty() ? &no_byte : data.data(), data.size());
  }
  std::fprintf(stderr, "replay: %zu inputs passed\n", files.size());
  return 0;
}
