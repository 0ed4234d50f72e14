// Thousands of random event sequences against the session machine: whatever
// happens, and in whatever order, every run ends exactly once, nothing
// follows its end, and the machine never has two requests out at a time.
// The same sequences through a download job also check that the run's
// indicator is back and the image file let go at every end.
#include "protocol/SessionMachine.h"

#include "operations/DownloadJob.h"
#include "resources/LogPane.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace mervix {
namespace {

constexpr int kSequences = 4000;
constexpr int kEventsPerSequence = 120;

// Bytes a device might send: whole and split frames of every kind, junk.
std::vector<std::uint8_t> RandomBytes(std::mt19937& rng) {
  static const std::vector<std::vector<std::uint8_t>> frames = {
      {0x52, 0x03, 0, 0, 0, 0, 0, 0},    {0x52, 0x05, 1, 0, 0, 0, 0, 0}, {0x52, 0x05, 0, 2, 0, 0, 0, 0},
      {0x52, 0x05, 2, 0, 0, 0, 0, 0},    {0x52, 0x05, 3, 0, 0, 0, 0, 0}, {0x52, 0x06, 0x00, 0x10, 0, 0, 0, 0},
      {0x52, 0x05, 0, 3, 0, 0, 0, 0},    {0x51, 0x21, 0, 0, 0, 0, 0, 0},
  };
  std::vector<std::uint8_t> bytes;
  switch (rng() % 6) {
    case 0:  // junk of any length
      for (std::uint32_t n = 1 + rng() % 12; n > 0; --n) bytes.push_back(static_cast<std::uint8_t>(rng()));
      return bytes;
    case 1: {  // a piece of a frame
      const auto& f = frames[rng() % frames.size()];
      const std::size_t from = rng() % 8;
      const std::size_t to = from + 1 + rng() % (8 - from);
      return std::vector<std::uint8_t>(f.begin() + static_cast<long>(from), f.begin() + static_cast<long>(to));
    }
    case 2: {  // a frame with something behind it
      bytes = frames[rng() % frames.size()];
      bytes.push_back(0x52);
      return bytes;
    }
    default:  // acknowledgements and status replies are what moves a run on
      return frames[rng() % 5];
  }
}

// What a well-behaved device and operator would do next, so that sequences
// get deep into runs (to the last block and beyond) and not only fail early.
Event HelpfulEvent(std::mt19937& rng, const SessionMachine& m, std::vector<std::uint8_t>* bytes) {
  switch (m.CurrentStep()) {
    case SessionMachine::Step::Connecting:
      return Event::Connected();
    case SessionMachine::Step::AskingRetry:
      return Event::Answered(Answer::Yes);
    case SessionMachine::Step::AskingConfirm:
      return Event::Answered(Answer::Ok);
    case SessionMachine::Step::Pausing:
      return Event::PauseElapsed();
    default:
      break;
  }
  const std::uint8_t status = rng() % 8 == 0 ? 1 : (rng() % 4 == 0 ? 3 : 2);
  *bytes = m.State() == DownloadState::Idle || (m.State() == DownloadState::SwitchRequested && rng() % 2 == 0)
               ? std::vector<std::uint8_t>{0x52, 0x05, status, 0, 0, 0, 0, 0}
               : std::vector<std::uint8_t>{0x52, 0x03, 0, 0, 0, 0, 0, 0};
  if (m.State() == DownloadState::SectorRequested) (*bytes)[2] = 3, (*bytes)[1] = 0x05;
  return Event::Received(bytes->data(), bytes->size());
}

// One random event: most often what moves the run on, else anything at all.
Event RandomEvent(std::mt19937& rng, std::vector<std::uint8_t>* bytes, const SessionMachine* m = nullptr) {
  if (m != nullptr && m->Running() && rng() % 4 != 0) return HelpfulEvent(rng, *m, bytes);
  switch (rng() % 20) {
    case 0:
      return Event::Start(RunRequest{"h", 1, static_cast<std::uint32_t>(1 + rng() % 300000), rng() % 2 == 0,
                                      static_cast<std::uint32_t>(rng())});
    case 1:
    case 2:
      return Event::Connected();
    case 3:
      return Event::ConnectFailed("refused", rng() % 4 == 0);
    case 4:
      return Event::PeerClosed();
    case 5:
      return Event::SendFailed("broken pipe");
    case 6:
      return Event::ImageReadFailed("read error");
    case 7:
    case 8: {
      static const Answer answers[] = {Answer::Ok, Answer::Ok, Answer::Yes, Answer::Cancel, Answer::No};
      return Event::Answered(answers[rng() % 5]);
    }
    case 9:
      return Event::PauseElapsed();
    case 10:
      return Event::TimedOut("silence");
    case 11:
      return Event::Stop(rng() % 3 == 0);
    default:
      *bytes = RandomBytes(rng);
      return Event::Received(bytes->data(), bytes->size());
  }
}

// Checks the actions of one event against the run's bookkeeping.
struct RunChecker {
  bool running = false;
  int started = 0;
  int ended = 0;
  bool outstanding = false;  // a request or block is out
  std::size_t heldBytes = 0;  // response bytes that arrived and were not yet used

  void Check(const Event& event, bool wasRunning, SessionMachine::Step stepBefore, const std::vector<Action>& actions,
             const SessionMachine& m, const std::string& where) {
    if (event.kind == EventKind::RunStarted && !wasRunning) {
      ++started;
      running = true;
      outstanding = false;
      heldBytes = 0;
    }
    if (!wasRunning && event.kind != EventKind::RunStarted) {
      ASSERT_TRUE(actions.empty()) << where << ": actions with no run";
    }
    // Bytes count as a response only when a connection is there to bring them.
    if (event.kind == EventKind::BytesReceived && (stepBefore == SessionMachine::Step::AwaitReply ||
                                                   stepBefore == SessionMachine::Step::AskingConfirm)) {
      heldBytes += event.size;
    }
    for (std::size_t i = 0; i < actions.size(); ++i) {
      const Action& a = actions[i];
      ASSERT_TRUE(running) << where << ": an action after the run ended";
      switch (a.kind) {
        case ActionKind::SendFrame:
        case ActionKind::SendImage:
          // A response to what is out must be there before the next goes.
          if (outstanding) {
            ASSERT_GE(heldBytes, 8u) << where << ": two requests out at once";
            heldBytes -= 8;
          }
          outstanding = true;
          break;
        case ActionKind::Close:
        case ActionKind::Pause:
          outstanding = false;
          heldBytes = 0;
          break;
        case ActionKind::RunEnded:
          ASSERT_EQ(i + 1, actions.size()) << where << ": an action follows the end";
          ++ended;
          running = false;
          outstanding = false;
          break;
        default:
          break;
      }
    }
    ASSERT_EQ(running, m.Running()) << where;
    ASSERT_EQ(started, ended + (running ? 1 : 0)) << where << ": a run ended twice or not at all";
  }
};

TEST(SessionMachineRandomTest, EveryRunEndsExactlyOnceWithNothingAfterAndOneRequestAtATime) {
  std::mt19937 rng(20261209);
  int finished = 0;
  for (int s = 0; s < kSequences; ++s) {
    SessionMachine machine;
    RunChecker checker;
    std::vector<Action> actions;
    std::vector<std::uint8_t> bytes;
    const Event first =
        Event::Start(RunRequest{"h", 1, static_cast<std::uint32_t>(1 + rng() % 250000), rng() % 2 == 0, 0x1000});
    actions = machine.Handle(first);
    checker.Check(first, false, SessionMachine::Step::Off, actions, machine, "start");
    for (int e = 0; e < kEventsPerSequence; ++e) {
      const Event event = RandomEvent(rng, &bytes, &machine);
      const bool wasRunning = machine.Running();
      const SessionMachine::Step stepBefore = machine.CurrentStep();
      actions = machine.Handle(event);
      const std::string where = "sequence " + std::to_string(s) + " event " + std::to_string(e);
      checker.Check(event, wasRunning, stepBefore, actions, machine, where);
      if (HasFatalFailure()) return;
      for (const Action& a : actions) finished += a.kind == ActionKind::RunEnded && a.outcome == RunOutcome::Finished;
    }
    // The window closes: whatever was going on ends now.
    const bool wasRunning = machine.Running();
    const SessionMachine::Step stepBefore = machine.CurrentStep();
    actions = machine.Handle(Event::Stop(true));
    checker.Check(Event::Stop(true), wasRunning, stepBefore, actions, machine, "closing");
    if (HasFatalFailure()) return;
    EXPECT_EQ(checker.started, checker.ended);
  }
  // The sequences do reach the end of an image, often.
  EXPECT_GT(finished, kSequences / 10);
}

// A runner that answers nothing itself: the test decides what happens.
class RecordingRunner : public RunPort {
 public:
  void Connect(const std::string&, std::uint16_t) override {}
  void Send(const std::uint8_t*, std::size_t) override {}
  void Close(bool) override {}
  void Pause(int) override {}
  void Ask(Question, const std::string&, const std::string&, ButtonSet) override {}
  bool ShowMessage(std::uint16_t, const std::string&, const std::string&) override {
    return deferBoxes ? (++boxesOpen, false) : true;
  }
  void RunEnded(RunOutcome, const Failure&) override {
    ++ends;
    indicatorEnabled = true;
  }
  bool deferBoxes = false;
  int boxesOpen = 0;
  int ends = 0;
  bool indicatorEnabled = true;
};

TEST(SessionMachineRandomTest, ThroughAJobTheIndicatorIsBackAndTheImageFreeAtEveryEnd) {
  const std::string path = ::testing::TempDir() + "random_job_" + std::to_string(getpid()) + ".img";
  std::vector<std::uint8_t> content(150000, 0x5A);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(content.data(), 1, content.size(), f);
  std::fclose(f);
  PreparedImage image;
  image.path = path;
  image.length = static_cast<std::uint32_t>(content.size());

  std::mt19937 rng(7);
  LogPane log;
  for (int s = 0; s < kSequences / 4; ++s) {
    DownloadJob job(log);
    RecordingRunner runner;
    runner.deferBoxes = s % 2 == 1;
    runner.indicatorEnabled = false;
    ASSERT_TRUE(job.Start(image, "h", 1, runner));
    ASSERT_TRUE(job.ImageOpen());
    std::vector<std::uint8_t> bytes;
    for (int e = 0; e < kEventsPerSequence; ++e) {
      const Event event = RandomEvent(rng, &bytes, &job.Machine());
      switch (event.kind) {
        case EventKind::Connected: job.OnConnected(); break;
        case EventKind::ConnectFailed: job.OnConnectFailed(event.detail, event.noSocket); break;
        case EventKind::BytesReceived: job.OnReceived(event.data, event.size); break;
        case EventKind::PeerClosed: job.OnPeerClosed(); break;
        case EventKind::SendFailed: job.OnSendFailed(event.detail); break;
        case EventKind::Answered: job.OnAnswered(event.answer); break;
        case EventKind::PauseElapsed: job.OnPauseElapsed(); break;
        case EventKind::TimedOut: job.OnTimedOut(event.detail); break;
        case EventKind::StopRequested: job.Stop(event.closing); break;
        default:
          // A box the operator closes.
          if (runner.boxesOpen > 0) {
            --runner.boxesOpen;
            job.BoxClosed();
          }
          break;
      }
      // Ended runs have let go of everything; running ones still hold the image.
      ASSERT_EQ(runner.ends, job.InProgress() ? 0 : 1) << s << "/" << e;
      ASSERT_EQ(job.ImageOpen(), job.InProgress()) << s << "/" << e;
      if (!job.InProgress()) {
        ASSERT_TRUE(runner.indicatorEnabled);
        break;
      }
    }
    job.Stop(true);
    EXPECT_FALSE(job.InProgress());
    EXPECT_FALSE(job.ImageOpen());
    EXPECT_EQ(runner.ends, 1);
  }
  std::remove(path.c_str());
}

}  // namespace
}  // namespace mervix
