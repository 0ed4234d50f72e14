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

// Codes the file imagePath into outputPath: the one way "Inter.img" is
// written, for the firmware download and for `mervix-cli compress`. Every
// byte of the image goes in file order into Start(stream, 13, 1)/PutByte/
// Finish, then the trailer follows the stream. The file is written under a
// temporary name beside outputPath and renamed into place only when whole.
// The coder's lines go to diagnostics (null: standard output).
//
// Fails (ok = false, with a reason naming the file and the system's error)
// when a file cannot be opened, the coder cannot get its memory, or reading
// or writing reports an error (a full disk included); a failure leaves an
// existing output as it was and no other file behind. An input that is not
// a regular file, or an output that is the input itself, a folder, a pipe or
// device, or a file that may not be written, is refused before anything is
// created.
CompressedImageResult WriteCompressedImageFile(const std::string& imagePath, const std::string& outputPath,
                                               DiagnosticSink* diagnostics = nullptr,
                                               Allocator* allocator = nullptr);

}  // namespace mervix
