#include "image/Conversion.h"

#include "image/SRecord.h"

namespace mervix {

std::string DescribeRecordFailure(std::size_t line, int recordResult) {
  return "line " + std::to_string(line) + ": result " + std::to_string(recordResult) + " (" +
         DescribeRecordResult(recordResult) + ")";
}

}  // namespace mervix
