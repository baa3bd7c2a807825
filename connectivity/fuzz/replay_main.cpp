// replay_main.cpp -- runs a fuzz target over corpus files without libFuzzer, so that every
// corpus is a regression test of the normal and the sanitizer builds.
//
//   zr-fuzz-replay-<target> FILE-OR-FOLDER...
//
// Each file is one input; a folder stands for the files in it (sorted by name).  A target
// that finds a fault aborts, and the test fails with its message.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace {

void collect(const std::string &path, std::vector<std::string> &files) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    std::fprintf(stderr, "replay: %s: not found\n", path.c_str());
    return;
  }
  if (!S_ISDIR(st.st_mode)) {
    files.push_back(path);
    return;
  }
  std::vector<std::string> names;
  if (DIR *d = opendir(path.c_str())) {
    while (dirent *e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  for (const std::string &n : names) files.push_back(path + "/" + n);
}

}  // namespace

int main(int argc, char **argv) {
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) collect(argv[i], files);
  if (files.empty()) {
    std::fprintf(stderr, "replay: no input files\n");
    return 2;
  }
  for (const std::string &f : files) {
    std::ifstream in(f, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Exactly its size (one byte for an empty input), so that the sanitizers see overreads.
    std::vector<uint8_t> copy(bytes.begin(), bytes.end());
    if (copy.empty()) copy.reserve(1);
    LLVMFuzzerTestOneInput(copy.data(), bytes.size());
  }
  std::printf("replayed %zu inputs\n", files.size());
  return 0;
}
