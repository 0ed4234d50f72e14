#include "compress/CompressedImageFile.h"

#include "compress/ImageCompressor.h"
#include "resources/FileAccess.h"

#include <algorithm>
#include <vector>

namespace mervix {
namespace {

// The file is written, and a large image read, in pieces of this size.
constexpr std::size_t kReadPiece = 64 * 1024;
constexpr std::size_t kWritePiece = 64 * 1024;
// Images up to this size are read whole (a firmware image is 2 MB).
constexpr std::uint64_t kWholeImageLimit = 64 * 1024 * 1024;

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
  // An image of ordinary size is read whole and given to the coder at once
  // (which may then parse it in two pieces at the same time); a larger file
  // goes to it piece by piece, in file order, with bounded memory.
  std::vector<std::uint8_t> image;
  const std::uint64_t length = input.Length();
  const bool whole = length <= kWholeImageLimit;
  // Room for the file and for the read that finds its end.
  if (whole) image.reserve(static_cast<std::size_t>(length) + kReadPiece);
  std::uint64_t offset = 0;
  FileStatus read;
  for (;;) {
    // One more byte than the file is long: the read that finds the end.
    const std::size_t want =
        whole ? std::max(kReadPiece, static_cast<std::size_t>(length - std::min(length, offset)) + 1) : kReadPiece;
    const std::size_t before = whole ? image.size() : 0;
    image.resize(before + want);
    std::size_t got = 0;
    read = input.ReadAt(offset, image.data() + before, want, &got);
    image.resize(before + got);
    offset += got;
    if (!whole) coder.PutBytes(image.data(), got);
    if (!read.ok() || got == 0) break;
  }
  if (whole) coder.PutAll(image.data(), image.size());
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
