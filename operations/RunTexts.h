// The words of a run: what the session machine notes, asks and tells,
// turned into the log lines, questions and boxes of the front ends in the
// active language. The machine decides; this is the one place that words
// its decisions, so both front ends write the same log.
#pragma once

#include "protocol/SessionMachine.h"
#include "resources/Failure.h"

#include <cstdint>
#include <string>
#include <vector>

namespace mervix {

struct StationSlot;
enum class RunCause;

// One box of the run.
struct BoxText {
  std::uint16_t messageId = 0;  // 0: a fixed text
  std::string text;
  std::string detail;  // the cause under the text; may be empty
};

// Fills in the message the operator is shown for a failure the machine
// found (messageId and message, from its code); |acknowledged| and |total|
// are the run's bytes, which a stop's message names. A failure worded
// already (a preparation's, or none) is left as it is.
void WordFailure(Failure& failure, std::uint64_t acknowledged, std::uint64_t total);

// The log text of a Log action of the run to |host|, with its CR LF.
std::string NoteText(const Action& note, const std::string& host);

// The text of a question.
std::string QuestionText(Question question);

// The boxes of a Tell action, in the order they are shown: a refusal for
// dial-in/dial-out adds a fixed second box, a socket that could not be
// made is followed by "Connect error".
std::vector<BoxText> NoticeBoxes(const Action& tell);

// "<message>: <detail>", or the message alone without a detail.
std::string CauseText(const Failure& failure);

// What a station's slot is doing, as its board or tile says it: "waiting for
// a unit", "writing unit #3", "PASS #3: take the unit away", ...
std::string SlotStateText(const StationSlot& slot);

// The cause of a device's end in words: "finished", "refused by the
// device", "no answer in time", ...
std::string RunCauseText(RunCause cause);

}  // namespace mervix
