// A fleet on a terminal: one line per device (device, phase, percent, rate,
// outcome) redrawn in place, and a total line under them.
//
//   FleetBoard board({"10.0.0.5:2222", "10.0.0.6:2222"});
//   board.Started(0);  board.Progressed(0, progress, nowMs);  board.Ended(0, outcome, failure);
//   board.Draw(stderr);   // as often as wanted: it rewrites the lines drawn last
//
// When the devices do not fit the terminal, the running devices and those
// that did not finish are shown first, and a last line counts the others.
#pragma once

#include "operations/ProgressMeter.h"
#include "protocol/SessionMachine.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace mervix::cli {

class FleetBoard {
 public:
  explicit FleetBoard(std::vector<std::string> devices);

  void Started(std::size_t device);
  void Progressed(std::size_t device, const Progress& progress, std::int64_t nowMs);
  void Ended(std::size_t device, RunOutcome outcome, const Failure& failure);

  // The lines for a terminal of |rows| by |columns|: the devices (as many as
  // fit with the total line), each cut to the width, then the total.
  std::vector<std::string> Lines(int rows, int columns) const;

  // Draws the lines over those drawn last (the cursor is left under them).
  void Draw(std::FILE* terminal);
  // Takes the lines drawn last off the terminal, for other output.
  void Clear(std::FILE* terminal);

 private:
  enum class State { Waiting, Running, Finished, NotFinished };
  struct Row {
    std::string device;
    State state = State::Waiting;
    ProgressMeter meter;
    std::string outcome;  // the ended run's status line
  };
  std::string RowText(const Row& row) const;

  std::vector<Row> rows_;
  int drawn_ = 0;  // lines on the terminal from the last Draw
};

// |text| cut to at most |columns| terminal columns (half-width katakana and
// ASCII take one, other characters two), never inside a UTF-8 sequence.
std::string FitToColumns(const std::string& text, int columns);

}  // namespace mervix::cli
