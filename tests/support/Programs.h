// The programs under test, as the build made them.
#pragma once

#include <string>

namespace mervix::testing {

// mervix-cli and mervix-devsim of this build.
inline std::string CliPath() { return MERVIX_CLI_PATH; }
inline std::string DevsimPath() { return MERVIX_DEVSIM_PATH; }

}  // namespace mervix::testing
