#include "cli/support/FleetBoard.h"

#include "cli/support/Console.h"
#include "resources/CommandLineMessages.h"
#include "resources/MessageTable.h"

#include <algorithm>

namespace mervix::cli {
namespace {

constexpr const char* kSeparator = " \xC2\xB7 ";  // a middle dot

}  // namespace

std::string FitToColumns(const std::string& text, int columns) {
  int used = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    length = std::min(length, text.size() - i);
    int width = 1;
    if (lead >= 0x80) {
      // U+FF61..U+FF9F, the half-width katakana, are EF BD A1..EF BE 9F.
      const bool halfWidth = length == 3 && lead == 0xEF &&
                             ((static_cast<unsigned char>(text[i + 1]) == 0xBD &&
                               static_cast<unsigned char>(text[i + 2]) >= 0xA1) ||
                              static_cast<unsigned char>(text[i + 1]) == 0xBE);
      // The middle dot U+00B7 is narrow too.
      const bool narrow = length == 2 && lead == 0xC2;
      width = halfWidth || narrow ? 1 : 2;
    }
    if (used + width > columns) break;
    used += width;
    i += length;
  }
  return text.substr(0, i);
}

FleetBoard::FleetBoard(std::vector<std::string> devices) {
  rows_.resize(devices.size());
  for (std::size_t i = 0; i < devices.size(); ++i) rows_[i].device = std::move(devices[i]);
}

void FleetBoard::Started(std::size_t device) {
  Row& row = rows_.at(device);
  row.state = State::Running;
  row.meter.Reset();
}

void FleetBoard::Progressed(std::size_t device, const Progress& progress, std::int64_t nowMs) {
  Row& row = rows_.at(device);
  if (row.state == State::Running) row.meter.Update(progress, nowMs);
}

void FleetBoard::Ended(std::size_t device, RunOutcome outcome, const Failure& failure) {
  Row& row = rows_.at(device);
  row.state = outcome == RunOutcome::Finished ? State::Finished : State::NotFinished;
  row.outcome = FormatOutcomeStatus(outcome, failure, row.meter.Last());
}

std::string FleetBoard::RowText(const Row& row) const {
  switch (row.state) {
    case State::Waiting:
      return row.device + kSeparator + GetMessageText(IDS_CLI_FLEET_WAITING);
    case State::Running:
      return row.device + kSeparator + FormatProgressStatus(row.meter, row.device);
    case State::Finished:
    case State::NotFinished:
      break;
  }
  return row.device + kSeparator + row.outcome;
}

std::vector<std::string> FleetBoard::Lines(int rows, int columns) const {
  int finished = 0, notFinished = 0, running = 0, waiting = 0;
  double rate = 0;
  for (const Row& row : rows_) {
    switch (row.state) {
      case State::Waiting: ++waiting; break;
      case State::Running: ++running; break;
      case State::Finished: ++finished; break;
      case State::NotFinished: ++notFinished; break;
    }
    if (row.state == State::Running) rate += row.meter.BytesPerSecond().value_or(0);
  }
  std::string totalLine = FormatCommandLineText(
      IDS_CLI_FLEET_TOTAL, {std::to_string(rows_.size()), std::to_string(finished), std::to_string(notFinished),
                            std::to_string(running), std::to_string(waiting)});
  if (running > 0) {
    char kb[32];
    std::snprintf(kb, sizeof kb, "%.0f", rate / 1024.0);
    totalLine += kSeparator + FormatMessageText(IDS_PROGRESS_RATE, std::string(kb));
  }

  // The device lines that fit above the total line (one row is kept free so
  // the last line's newline does not scroll the board).
  const std::size_t room = static_cast<std::size_t>(std::max(rows - 2, 1));
  std::vector<const Row*> shown;
  if (rows_.size() <= room) {
    for (const Row& row : rows_) shown.push_back(&row);
  } else {
    // Those that need an eye first: running, then not finished; in order.
    for (State state : {State::Running, State::NotFinished}) {
      for (const Row& row : rows_) {
        if (row.state == state && shown.size() + 1 < room) shown.push_back(&row);
      }
    }
  }
  std::vector<std::string> lines;
  for (const Row* row : shown) lines.push_back(FitToColumns(RowText(*row), columns - 1));
  if (shown.size() < rows_.size()) {
    lines.push_back(FitToColumns(
        FormatCommandLineText(IDS_CLI_FLEET_MORE, {std::to_string(rows_.size() - shown.size())}), columns - 1));
  }
  lines.push_back(FitToColumns(totalLine, columns - 1));
  return lines;
}

void FleetBoard::Draw(std::FILE* terminal) {
  const TerminalExtent size = TerminalSize(terminal);
  const std::vector<std::string> lines = Lines(size.rows, size.columns);
  std::string out;
  // Up to the first line drawn last, then each line over the old one.
  if (drawn_ > 0) out += "\033[" + std::to_string(drawn_) + "A";
  for (const std::string& line : lines) out += "\r" + line + "\033[K\n";
  // Fewer lines than last time: the rest goes.
  out += "\033[J";
  std::fputs(out.c_str(), terminal);
  std::fflush(terminal);
  drawn_ = static_cast<int>(lines.size());
}

void FleetBoard::Clear(std::FILE* terminal) {
  if (drawn_ == 0) return;
  std::fprintf(terminal, "\033[%dA\r\033[J", drawn_);
  std::fflush(terminal);
  drawn_ = 0;
}

}  // namespace mervix::cli
