#include "compress/CompressedImageFile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "compress/ImageCompressor.h"

namespace mervix {

CompressedImageResult WriteCompressedImageFile(const std::string& imagePath, const std::string& outputPath,
                                               DiagnosticSink* diagnostics, Allocator* allocator) {
  CompressedImageResult result;
  std::FILE* in = std::fopen(imagePath.c_str(), "rb");
  if (in == nullptr) {
    result.reason = "cannot open " + imagePath + ": " + std::strerror(errno);
    return result;
  }
  // Checked before the output is created or truncated: a folder opens for
  // reading here and would only fail at its first read, and an output that
  // is the input itself (by name or through a link) would be emptied before
  // a byte of it was read.
  struct stat inputStat {};
  if (::fstat(fileno(in), &inputStat) != 0 || !S_ISREG(inputStat.st_mode)) {
    std::fclose(in);
    result.reason = "cannot read " + imagePath + ": " +
                    (S_ISDIR(inputStat.st_mode) ? "it is a folder, not a file" : "not a regular file");
    return result;
  }
  struct stat outputStat {};
  if (::stat(outputPath.c_str(), &outputStat) == 0 && outputStat.st_dev == inputStat.st_dev &&
      outputStat.st_ino == inputStat.st_ino) {
    std::fclose(in);
    result.reason = "output " + outputPath + " is the input file itself; choose another output";
    return result;
  }
  std::FILE* out = std::fopen(outputPath.c_str(), "wb");
  if (out == nullptr) {
    std::fclose(in);
    result.reason = "cannot create " + outputPath;
    return result;
  }
  FileOutputStream stream(out);
  ImageCompressor coder(allocator, diagnostics);
  if (coder.Start(&stream, kLh5DictionaryBits, 1) == 0) {
    std::fclose(in);
    std::fclose(out);
    result.reason = "not enough memory for the coder";
    return result;
  }
  for (int c = std::getc(in); c != EOF; c = std::getc(in)) coder.PutByte(static_cast<std::uint8_t>(c));
  const bool readFailed = std::ferror(in) != 0;
  result.streamBytes = coder.Finish(&result.inputBytes);
  std::fclose(in);
  // The coder does not look at its writes; the stream's error flag and the
  // close do, so a full disk is not reported as a finished image.
  const bool writeFailed = std::ferror(out) != 0;
  const bool closeFailed = std::fclose(out) != 0;
  if (readFailed) {
    result.reason = "error reading " + imagePath;
    return result;
  }
  if (writeFailed || closeFailed) {
    result.reason = "error writing " + outputPath;
    return result;
  }

  std::FILE* again = std::fopen(outputPath.c_str(), "ab");
  if (again == nullptr) {
    result.reason = "cannot reopen " + outputPath + " for the trailer";
    return result;
  }
  const bool trailerWritten =
      std::fwrite(kCompressedImageTrailer, 1, kCompressedImageTrailerSize, again) == kCompressedImageTrailerSize;
  if (std::fclose(again) != 0 || !trailerWritten) {
    result.reason = "error writing the trailer of " + outputPath;
    return result;
  }
  result.fileBytes = result.streamBytes + static_cast<std::uint32_t>(kCompressedImageTrailerSize);
  result.ok = true;
  return result;
}

}  // namespace mervix
