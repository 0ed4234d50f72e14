#include "operations/Sha256.h"

#include "resources/FileAccess.h"

#include <vector>

namespace mervix {

std::string FileSha256(const std::string& path, FileStatus* status) {
  InputFile file;
  *status = file.Open(path, ImageAccess::Shared, "image");
  if (!status->ok()) return std::string();
  Sha256 hash;
  std::vector<std::uint8_t> piece(64 * 1024);
  for (std::uint64_t offset = 0;;) {
    std::size_t got = 0;
    *status = file.ReadAt(offset, piece.data(), piece.size(), &got);
    if (!status->ok()) return std::string();
    if (got == 0) break;
    hash.Update(piece.data(), got);
    offset += got;
  }
  return hash.FinishHex();
}

}  // namespace mervix
