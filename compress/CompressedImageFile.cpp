#include "compress/CompressedImageFile.h"

#include "compress/ImageCompressor.h"
#include "resources/FileAccess.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>
#include <vector>

namespace mervix {
namespace {

// The image is read in pieces of this size.
constexpr std::size_t kReadPiece = 64 * 1024;

}  // namespace

CompressedImageResult WriteCompressedImageFile(const std::string& imagePath, const std::string& outputPath,
                                               DiagnosticSink* diagnostics, Allocator* allocator) {
  CompressedImageResult result;
  InputFile input;
  const FileStatus opened = input.Open(imagePath, ImageAccess::Shared, "image");
  if (!opened.ok()) {
    result.reason = opened.reason;
    return result;
  }
  const FileStatus output = CheckOutputPath(input, outputPath);
  if (!output.ok()) {
    result.reason = output.reason;
    return result;
  }
  // The file is made under a temporary name beside the output and takes its
  // place only when whole: a failure below leaves an existing output as it
  // was. The stream writes through its own descriptor of that file.
  ReplacementFile replacement;
  const FileStatus created = replacement.Create(outputPath);
  if (!created.ok()) {
    result.reason = created.reason;
    return result;
  }
  const int streamFd = ::dup(replacement.fd());
  std::FILE* out = streamFd >= 0 ? ::fdopen(streamFd, "wb") : nullptr;
  if (out == nullptr) {
    const int error = errno != 0 ? errno : EIO;
    if (streamFd >= 0) ::close(streamFd);
    result.reason = FileErrorReason("cannot create", outputPath, error);
    return result;
  }
  FileOutputStream stream(out);
  ImageCompressor coder(allocator, diagnostics);
  if (coder.Start(&stream, kLh5DictionaryBits, 1) == 0) {
    std::fclose(out);
    result.coderRefused = true;
    result.reason = "not enough memory for the coder";
    return result;
  }
  // Read in large pieces; every byte still goes to the coder on its own, in
  // file order.
  std::vector<std::uint8_t> piece(kReadPiece);
  std::uint64_t offset = 0;
  int readError = 0;
  for (;;) {
    const long got = input.ReadAt(offset, piece.data(), piece.size());
    if (got < 0) {
      readError = errno != 0 ? errno : EIO;
      break;
    }
    if (got == 0) break;
    for (long i = 0; i < got; ++i) coder.PutByte(piece[static_cast<std::size_t>(i)]);
    offset += static_cast<std::uint64_t>(got);
  }
  result.streamBytes = coder.Finish(&result.inputBytes);
  input.Close();
  // The trailer follows the stream's last byte.
  stream.Write(reinterpret_cast<const std::uint8_t*>(kCompressedImageTrailer), kCompressedImageTrailerSize);
  // The coder does not look at its writes; the stream's error flag and the
  // close do, so a full disk is not reported as a finished image.
  const bool writeFailed = std::ferror(out) != 0;
  errno = 0;
  const bool closeFailed = std::fclose(out) != 0;
  const int writeError = errno != 0 ? errno : EIO;
  if (readError != 0) {
    result.reason = FileErrorReason("cannot read image", imagePath, readError);
    return result;
  }
  if (writeFailed || closeFailed) {
    result.reason = FileErrorReason("cannot write", outputPath, stream.Error() != 0 ? stream.Error() : writeError);
    return result;
  }
  const FileStatus committed = replacement.Commit();
  if (!committed.ok()) {
    result.reason = committed.reason;
    return result;
  }
  result.fileBytes = result.streamBytes + static_cast<std::uint32_t>(kCompressedImageTrailerSize);
  result.ok = true;
  return result;
}

}  // namespace mervix
