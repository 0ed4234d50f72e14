// The compressed image file: an image coded by ImageCompressor into a file,
// followed by the 4-byte ASCII trailer "TOVA". Layout:
//   offset 0          the lh5 stream (bytesOut bytes, last byte zero-padded)
//   offset bytesOut   "TOVA"
// No header, no decompressed size, no checksum.
#pragma once

#include <cstdint>
#include <string>

#include "compress/CoderInterfaces.h"

namespace mervix {

constexpr char kCompressedImageName[] = "Inter.img";
constexpr char kCompressedImageTrailer[] = "TOVA";
constexpr std::size_t kCompressedImageTrailerSize = 4;

struct CompressedImageResult {
  bool ok = false;
  bool coderRefused = false;      // the coder could not get its memory
  std::uint32_t inputBytes = 0;   // bytes of the image read and coded
  std::uint32_t streamBytes = 0;  // bytes of the coded stream (Finish)
  std::uint32_t fileBytes = 0;    // streamBytes + the trailer
  std::string reason;             // why it failed, when !ok
};

// Codes the file imagePath into outputPath (created or truncated): the one
// way "Inter.img" is written, for the firmware download and for
// `mervix-cli compress`. Every byte of the image goes in file order into
// Start(stream, 13, 1)/PutByte/Finish, both files are closed, then the
// output is opened again and the trailer appended at its end. The coder's
// lines go to diagnostics (null: standard output).
//
// Fails (ok = false, with a reason naming the file and the system's error)
// when a file cannot be opened, the coder cannot get its memory, or reading
// or writing reports an error (a full disk included); a failed output is
// left as it is (possibly partial) for the caller to discard. An input that
// is not a regular file, or an output that is the input itself or a folder,
// is refused before the output is created or truncated.
CompressedImageResult WriteCompressedImageFile(const std::string& imagePath, const std::string& outputPath,
                                               DiagnosticSink* diagnostics = nullptr,
                                               Allocator* allocator = nullptr);

}  // namespace mervix
