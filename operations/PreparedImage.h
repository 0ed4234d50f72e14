// An image ready to be sent: what the preparation of a firmware or user
// module download (file choice, conversion, compression, header) hands to
// the run of a device.
#pragma once

#include "image/ImageHeader.h"
#include "operations/HeldImage.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace mervix {

struct PreparedImage {
  std::string path;            // the file whose bytes are sent
  std::uint32_t length = 0;    // its length, announced in the size request
  ImageHeader header;          // the header the version came from
  bool compressed = false;     // "Inter.img" of a compressed run
  bool userModule = false;     // a user module run: sector request first
  std::uint32_t sectorAddress = 0;  // the user base address (user module runs)
  // SHA-256 of the bytes to send (the whole file), lower-case hex; empty when
  // it was not computed.
  std::string sha256;
  // The file, held open since its header was read, whose blocks the runs
  // send (proven unchanged); null for an image described only by its path,
  // which a run then opens itself.
  std::shared_ptr<const HeldImage> held;
};

}  // namespace mervix
