#include "operations/RunTexts.h"

#include "operations/FleetEngine.h"
#include "operations/StationEngine.h"

#include "resources/CommandLineMessages.h"
#include "resources/MessageTable.h"

#include <cstdio>

namespace mervix {
namespace {

std::uint16_t MessageOf(const Failure& failure) {
  switch (failure.code) {
    case FailureCode::None:
    case FailureCode::Preparation:
      return failure.messageId;
    case FailureCode::ImageEmpty:
      return IDS_ERROR_IMAGE_EMPTY;
    case FailureCode::ImageUnavailable:
      return IDS_ERROR_IMAGE_OPEN;
    case FailureCode::ImageUnreadable:
      return IDS_ERROR_IMAGE_READ;
    case FailureCode::NoSocket:
      return IDS_ERROR_SOCKET;
    case FailureCode::NoConnection:
      return IDS_ERROR_CONNECT;
    case FailureCode::FrameLength:
      return IDS_ERROR_TOOMANY;
    case FailureCode::UnexpectedAck:
      return IDS_WARN_RETCODE;
    case FailureCode::BadStatus:
      return IDS_ERROR_CHECK_CODE;
    case FailureCode::BadCode:
      return IDS_ERROR_CMD_CODE;
    case FailureCode::Refused:
      return NakMessageId(failure.nakFlags);
    case FailureCode::SendFailed:
      return IDS_ERROR_SEND;
    case FailureCode::NoResponse:
      return IDS_ERROR_NO_RESPONSE;
    case FailureCode::Cancelled:
      return IDS_INFO_CANCELLED;
    case FailureCode::Stopped:
      return IDS_INFO_STOPPED;
    case FailureCode::WindowClosed:
      return 0;
    case FailureCode::NotReturned:
      return IDS_CLI_NOT_RETURNED;
  }
  return failure.messageId;
}

std::string StoppedText(std::uint64_t acknowledged, std::uint64_t total) {
  return SubstituteArguments(GetMessageText(IDS_INFO_STOPPED), std::to_string(acknowledged), std::to_string(total));
}

std::string Line(std::uint16_t messageId) { return FormatMessageText(messageId) + "\r\n"; }

}  // namespace

void WordFailure(Failure& failure, std::uint64_t acknowledged, std::uint64_t total) {
  if (failure.code == FailureCode::None || failure.code == FailureCode::Preparation) return;
  failure.messageId = MessageOf(failure);
  if (failure.code == FailureCode::Stopped) {
    failure.message = StoppedText(acknowledged, total);
  } else if (failure.messageId != 0) {
    failure.message = FormatMessageText(failure.messageId);
  } else {
    failure.message.clear();
  }
}

std::string CauseText(const Failure& failure) {
  return failure.detail.empty() ? failure.message : failure.message + ": " + failure.detail;
}

std::string NoteText(const Action& note, const std::string& host) {
  switch (note.note) {
    case Note::Connected:
      return FormatConnectedLine(host);
    case Note::ModeSwitch:
      return Line(IDS_INFO_MODE_SWITCH);
    case Note::SpecialSector:
      return fixed_text::kSpecialSector;
    case Note::Start:
      return Line(IDS_INFO_START);
    case Note::BlockSent:
      return Line(IDS_INFO_BLOCK_SENT);
    case Note::Kilobytes:
      return FormatKilobytesLine(static_cast<long>(note.count));
    case Note::Finished:
      return Line(IDS_INFO_FINISHED_LOG);
    case Note::Cancelled:
      return Line(IDS_INFO_CANCELLED);
    case Note::Stopped:
      return StoppedText(note.count, note.total) + "\r\n";
    case Note::Cause: {
      Failure failure = note.failure;
      WordFailure(failure, 0, 0);
      // A socket that could not be made leaves the run without a connection:
      // the log says so in the words of the box that follows it.
      if (failure.code == FailureCode::NoSocket) failure.message = FormatMessageText(IDS_ERROR_CONNECT);
      return CauseText(failure) + "\r\n";
    }
    case Note::Retry: {
      Failure cause = note.failure;
      WordFailure(cause, 0, 0);
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%g", note.milliseconds / 1000.0);
      return FormatCommandLineText(IDS_CLI_RETRY, {std::to_string(note.retry), std::to_string(note.retries),
                                                   seconds, CauseText(cause)}) +
             "\r\n";
    }
  }
  return std::string();
}

std::string QuestionText(Question question) {
  return FormatMessageText(question == Question::Retry ? IDS_ASK_RETRY : IDS_ASK_WRITE);
}

std::vector<BoxText> NoticeBoxes(const Action& tell) {
  if (tell.notice == Notice::Finished) return {{IDS_INFO_FINISHED, FormatMessageText(IDS_INFO_FINISHED), ""}};
  Failure failure = tell.failure;
  WordFailure(failure, 0, 0);
  std::vector<BoxText> boxes{{failure.messageId, failure.message, failure.detail}};
  if (failure.code == FailureCode::NoSocket) {
    boxes.push_back({IDS_ERROR_CONNECT, FormatMessageText(IDS_ERROR_CONNECT), failure.detail});
  }
  if (failure.messageId == IDS_NAK_DIAL) boxes.push_back({0, fixed_text::kDialError, failure.detail});
  return boxes;
}

std::string SlotStateText(const StationSlot& slot) {
  const std::string number = std::to_string(slot.unit.number);
  switch (slot.state) {
    case SlotState::Waiting:
      return GetMessageText(IDS_CLI_SLOT_WAITING);
    case SlotState::Present:
      return GetMessageText(IDS_CLI_SLOT_PRESENT);
    case SlotState::Writing:
      return FormatCommandLineText(IDS_CLI_SLOT_WRITING, {number});
    case SlotState::Passed:
      return FormatCommandLineText(IDS_CLI_SLOT_PASSED, {number});
    case SlotState::Failed:
      return FormatCommandLineText(IDS_CLI_SLOT_FAILED, {number});
    case SlotState::Again:
      return GetMessageText(IDS_CLI_SLOT_AGAIN);
    case SlotState::Stopped:
      return GetMessageText(IDS_CLI_SLOT_STOPPED);
  }
  return std::string();
}

std::string RunCauseText(RunCause cause) {
  switch (cause) {
    case RunCause::Finished: return GetMessageText(IDS_CLI_CAUSE_FINISHED);
    case RunCause::Unknown: return GetMessageText(IDS_CLI_CAUSE_UNKNOWN);
    case RunCause::Link: return GetMessageText(IDS_CLI_CAUSE_LINK);
    case RunCause::Timeout: return GetMessageText(IDS_CLI_CAUSE_TIMEOUT);
    case RunCause::Connect: return GetMessageText(IDS_CLI_CAUSE_CONNECT);
    case RunCause::Input: return GetMessageText(IDS_CLI_CAUSE_INPUT);
    case RunCause::Refused: return GetMessageText(IDS_CLI_CAUSE_REFUSED);
    case RunCause::Stopped: return GetMessageText(IDS_CLI_CAUSE_STOPPED);
    case RunCause::Usage: return GetMessageText(IDS_CLI_CAUSE_USAGE);
    case RunCause::Failure: return GetMessageText(IDS_CLI_CAUSE_FAILURE);
    case RunCause::Budget: return GetMessageText(IDS_CLI_CAUSE_BUDGET);
    case RunCause::NotReturned: return GetMessageText(IDS_CLI_CAUSE_NOT_RETURNED);
  }
  return GetMessageText(IDS_CLI_CAUSE_FAILURE);
}

}  // namespace mervix
