#include "resources/Failure.h"

namespace mervix {

std::string PhaseName(const Failure& failure) {
  switch (failure.phase) {
    case RunPhase::Prepare:
      return "prepare";
    case RunPhase::Connect:
      return "connect";
    case RunPhase::Status:
      return "status";
    case RunPhase::Switch:
      return "switch";
    case RunPhase::Reconnect:
      return "reconnect";
    case RunPhase::Sector:
      return "sector";
    case RunPhase::Size:
      return "size";
    case RunPhase::Block:
      return "block " + std::to_string(failure.block) + " of " + std::to_string(failure.blocks);
    case RunPhase::Finished:
      return "finished";
  }
  return "unknown";
}

const char* OriginName(FailureOrigin origin) {
  switch (origin) {
    case FailureOrigin::None:
      return "none";
    case FailureOrigin::OperatorInput:
      return "operator input";
    case FailureOrigin::File:
      return "file";
    case FailureOrigin::Conversion:
      return "conversion";
    case FailureOrigin::DeviceRefusal:
      return "device refusal";
    case FailureOrigin::Protocol:
      return "protocol";
    case FailureOrigin::Link:
      return "link";
    case FailureOrigin::Cancelled:
      return "cancelled";
  }
  return "unknown";
}

std::string Describe(const Failure& failure) {
  std::string line = PhaseName(failure);
  // A message of several lines (a box text with the file's reason under it)
  // reads as one line on a terminal.
  std::string message = failure.message;
  for (char& c : message) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  if (!message.empty()) line += ": " + message;
  if (!failure.detail.empty() && failure.detail != failure.message) {
    line += message.empty() ? ": " + failure.detail : " (" + failure.detail + ")";
  }
  return line;
}

}  // namespace mervix
