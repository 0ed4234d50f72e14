// mervix-cli compress / decompress: make the compressed image file as the
// firmware download does, and decode a stream by hand to check it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "compress/CompressedImageFile.h"
#include "compress/Lh5Decoder.h"
#include "resources/FileAccess.h"

namespace mervix::cli {
namespace {

constexpr const char kCompressUsage[] = "compress IN [OUT]";
constexpr const char kDecompressUsage[] = "decompress [--size N] IN OUT";

int UsageError(const char* command, const char* usage, const std::string& what) {
  std::fprintf(stderr, "mervix-cli %s: %s\nusage: mervix-cli %s\n", command, what.c_str(), usage);
  return kExitUsage;
}

int RunCompress(const std::vector<std::string>& args) {
  std::vector<std::string> paths;
  for (const std::string& a : args) {
    if (a.size() > 1 && a[0] == '-') return UsageError("compress", kCompressUsage, "unknown option " + a);
    paths.push_back(a);
  }
  if (paths.empty() || paths.size() > 2) {
    return UsageError("compress", kCompressUsage, "give the input file and at most one output file");
  }
  const std::string output = paths.size() > 1 ? paths[1] : kCompressedImageName;
  // The coder's own lines (memory use, buffer fallback) go to standard
  // output first, as in the window program.
  const CompressedImageResult r = WriteCompressedImageFile(paths[0], output);
  if (!r.ok) {
    std::fprintf(stderr, "mervix-cli compress: %s\n", r.reason.c_str());
    return kExitFailure;
  }
  std::printf("%s: %u bytes in, %u bytes coded + 4 bytes trailer \"%s\" = %u bytes\n", output.c_str(),
              static_cast<unsigned>(r.inputBytes), static_cast<unsigned>(r.streamBytes), kCompressedImageTrailer,
              static_cast<unsigned>(r.fileBytes));
  return kExitSuccess;
}

bool ParseSize(const std::string& text, std::size_t* size) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 12) return false;
  *size = static_cast<std::size_t>(std::strtoull(text.c_str(), nullptr, 10));
  return true;
}

// Reads the whole of an open input file.
FileStatus ReadWhole(const InputFile& input, std::vector<std::uint8_t>* data) {
  std::uint8_t buf[65536];
  for (;;) {
    std::size_t n = 0;
    const FileStatus read = input.ReadAt(data->size(), buf, sizeof buf, &n);
    if (!read.ok() || n == 0) return read;
    data->insert(data->end(), buf, buf + n);
  }
}

bool EndsWithTrailer(const std::vector<std::uint8_t>& data) {
  return data.size() >= kCompressedImageTrailerSize &&
         std::memcmp(data.data() + data.size() - kCompressedImageTrailerSize, kCompressedImageTrailer,
                     kCompressedImageTrailerSize) == 0;
}

// With --size N: decodes exactly N bytes and ignores what follows the
// stream (the trailer, if any). Without it: a file ending in "TOVA" is taken
// as a compressed image file and decoded without its trailer first; if that
// fails (a stream can end in those four bytes by chance) the whole file is
// tried as a bare stream. Every block must then decode to the end.
int RunDecompress(const std::vector<std::string>& args) {
  std::optional<std::size_t> size;
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--size") {
      std::size_t n = 0;
      if (i + 1 >= args.size() || !ParseSize(args[i + 1], &n)) {
        return UsageError("decompress", kDecompressUsage, "--size needs a decimal byte count");
      }
      size = n;
      ++i;
    } else if (a.size() > 1 && a[0] == '-') {
      return UsageError("decompress", kDecompressUsage, "unknown option " + a);
    } else {
      paths.push_back(a);
    }
  }
  if (paths.size() != 2) return UsageError("decompress", kDecompressUsage, "give the input and the output file");

  // The input is opened without waiting (a pipe is refused at once) and the
  // output checked against it before anything is decoded.
  InputFile input;
  const FileStatus opened = input.Open(paths[0], ImageAccess::Shared, "input");
  if (!opened.ok()) {
    std::fprintf(stderr, "mervix-cli decompress: %s\n", opened.reason.c_str());
    return kExitFailure;
  }
  const FileStatus checked = CheckOutputPath(input, paths[1]);
  if (!checked.ok()) {
    std::fprintf(stderr, "mervix-cli decompress: %s\n", checked.reason.c_str());
    return kExitFailure;
  }
  std::vector<std::uint8_t> data;
  const FileStatus read = ReadWhole(input, &data);
  if (!read.ok()) {
    std::fprintf(stderr, "mervix-cli decompress: %s\n",
                 FileErrorReason("cannot read", paths[0], read.systemError).c_str());
    return kExitFailure;
  }
  input.Close();
  std::vector<std::uint8_t> out;
  std::string error;
  Lh5StreamInfo info;
  bool ok = false;
  bool trailerDropped = false;
  if (!size && EndsWithTrailer(data)) {
    ok = DecodeLh5(data.data(), data.size() - kCompressedImageTrailerSize, std::nullopt, &out, &error, &info);
    trailerDropped = ok;
  }
  if (!ok) ok = DecodeLh5(data.data(), data.size(), size, &out, &error, &info);
  if (!ok) {
    std::fprintf(stderr, "mervix-cli decompress: %s is not a valid stream: %s (after %zu bytes)\n", paths[0].c_str(),
                 error.c_str(), out.size());
    return kExitFailure;
  }

  const FileStatus written = ReplaceFileContents(paths[1], out.data(), out.size());
  if (!written.ok()) {
    std::fprintf(stderr, "mervix-cli decompress: %s\n", written.reason.c_str());
    return kExitFailure;
  }
  std::printf("%s: %zu bytes decoded from %zu bytes in %zu blocks%s\n", paths[1].c_str(), out.size(), data.size(),
              info.blockTokens.size(), trailerDropped ? " (trailer \"TOVA\" not part of the stream)" : "");
  return kExitSuccess;
}

const CommandRegistration compressReg({"compress", kCompressUsage,
                                       "code an image into a compressed image file (default Inter.img) with its trailer",
                                       &RunCompress, true});
const CommandRegistration decompressReg({"decompress", kDecompressUsage, "decode an lh5 stream or compressed image file",
                                         &RunDecompress, true});

}  // namespace
}  // namespace mervix::cli
