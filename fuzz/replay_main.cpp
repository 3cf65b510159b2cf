// Runs every file of a seed corpus directory through a fuzz target's
// LLVMFuzzerTestOneInput, so the corpus is exercised by an ordinary test in
// every build. A target reports a broken invariant by aborting.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize);

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s <corpus-directory>\n", argv[0]);
    return 2;
  }
  DIR* dir = opendir(argv[1]);
  if (!dir) {
    fprintf(stderr, "no corpus at %s\n", argv[1]);
    return 1;
  }
  int files = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream in(std::string(argv[1]) + "/" + entry->d_name, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    ++files;
  }
  closedir(dir);
  // Also the empty input, which every target must take.
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(""), 0);
  printf("replayed %d inputs\n", files);
  return files > 0 ? 0 : 1;
}
