#include "compress/CompressedImageFile.h"

#include "compress/ImageCompressor.h"
#include "resources/FileAccess.h"

#include <algorithm>
#include <vector>

namespace mervix {
namespace {

// The image is read, and the file written, in pieces of this size.
constexpr std::size_t kReadPiece = 64 * 1024;
constexpr std::size_t kWritePiece = 64 * 1024;

// The coder's output stream into the replacement file, gathered into
// pieces. The coder does not look at its writes: the first failure is kept
// here and nothing more is written after it.
class ReplacementStream final : public OutputStream {
 public:
  explicit ReplacementStream(ReplacementFile& file) : file_(file) { buffer_.reserve(kWritePiece); }
  void WriteByte(std::uint8_t byte) override {
    buffer_.push_back(byte);
    if (buffer_.size() == kWritePiece) Flush();
  }
  void Write(const std::uint8_t* bytes, std::size_t n) override {
    while (n > 0) {
      const std::size_t take = std::min(n, kWritePiece - buffer_.size());
      buffer_.insert(buffer_.end(), bytes, bytes + take);
      bytes += take;
      n -= take;
      if (buffer_.size() == kWritePiece) Flush();
    }
  }
  // Writes what is gathered; false once any write has failed.
  bool Flush() {
    if (status_.ok() && !buffer_.empty()) status_ = file_.Write(buffer_.data(), buffer_.size());
    buffer_.clear();
    return status_.ok();
  }
  // The first failed write; ok while none has failed.
  const FileStatus& Status() const { return status_; }

 private:
  ReplacementFile& file_;
  std::vector<std::uint8_t> buffer_;
  FileStatus status_;
};

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
  // was.
  ReplacementFile replacement;
  const FileStatus created = replacement.Create(outputPath);
  if (!created.ok()) {
    result.reason = created.reason;
    return result;
  }
  ReplacementStream stream(replacement);
  ImageCompressor coder(allocator, diagnostics);
  if (coder.Start(&stream, kLh5DictionaryBits, 1) == 0) {
    result.coderRefused = true;
    result.reason = "not enough memory for the coder";
    return result;
  }
  // Read in large pieces; every byte still goes to the coder on its own, in
  // file order.
  std::vector<std::uint8_t> piece(kReadPiece);
  std::uint64_t offset = 0;
  FileStatus read;
  for (;;) {
    std::size_t got = 0;
    read = input.ReadAt(offset, piece.data(), piece.size(), &got);
    if (!read.ok() || got == 0) break;
    for (std::size_t i = 0; i < got; ++i) coder.PutByte(piece[i]);
    offset += got;
  }
  result.streamBytes = coder.Finish(&result.inputBytes);
  input.Close();
  // The trailer follows the stream's last byte.
  stream.Write(reinterpret_cast<const std::uint8_t*>(kCompressedImageTrailer), kCompressedImageTrailerSize);
  // The coder does not look at its writes; the stream and the commit do, so
  // a full disk is not reported as a finished image.
  const bool written = stream.Flush();
  if (!read.ok()) {
    result.reason = read.reason;
    return result;
  }
  if (!written) {
    result.reason = FileErrorReason("cannot write", outputPath, stream.Status().systemError);
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
