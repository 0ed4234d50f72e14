// Runs a fuzz target once over each file of the folders (or files) named on
// the command line, in name order, the way libFuzzer replays a corpus.
// A failing check aborts with the file name already printed; an empty or
// unreadable corpus is itself a failure, so a lost seed folder cannot pass
// unnoticed.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

// The regular files a path stands for: itself, or the files of a folder.
std::vector<std::string> FilesOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  if (!S_ISDIR(st.st_mode)) return {path};
  std::vector<std::string> files;
  if (DIR* dir = ::opendir(path.c_str())) {
    while (dirent* e = ::readdir(dir)) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      const std::string full = path + "/" + name;
      if (::stat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode)) files.push_back(full);
    }
    ::closedir(dir);
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t runs = 0;
  for (int i = 1; i < argc; ++i) {
    const std::vector<std::string> files = FilesOf(argv[i]);
    if (files.empty()) {
      std::fprintf(stderr, "no input files in %s\n", argv[i]);
      return 1;
    }
    for (const std::string& file : files) {
      std::ifstream in(file, std::ios::binary);
      if (!in) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        return 1;
      }
      const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      std::fprintf(stderr, "running %s (%zu bytes)\n", file.c_str(), bytes.size());
      // A copy of exactly the file's size, so that ASan sees a read past its end.
      std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
      LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
      ++runs;
    }
  }
  if (runs == 0) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR_OR_FILE...\n", argv[0]);
    return 1;
  }
  std::printf("%zu inputs ran\n", runs);
  return 0;
}
