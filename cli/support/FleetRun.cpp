#include "cli/support/FleetRun.h"

#include "cli/Commands.h"
#include "cli/support/AsioRunner.h"
#include "cli/support/Console.h"
#include "cli/support/FleetBoard.h"
#include "cli/support/RunReport.h"
#include "cli/support/TerminalOperator.h"
#include "image/ImageHeader.h"
#include "operations/DownloadJob.h"
#include "operations/DownloadOperations.h"
#include "resources/CommandLineMessages.h"
#include "resources/LogPane.h"
#include "resources/MessageTable.h"

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>

namespace mervix::cli {
namespace {

using Json = nlohmann::ordered_json;

std::string Trim(const std::string& s) {
  const std::size_t first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  const std::size_t last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

std::string Label(const FleetDevice& d) { return FormatDeviceAddress(d.host, d.port); }

std::string UtcTimeText(std::chrono::system_clock::time_point t) {
  const std::time_t secs = std::chrono::system_clock::to_time_t(t);
  const std::tm tm = UtcCalendarTime(secs);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000;
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
  return text;
}

// The dialogs of one device of a fleet: the write was confirmed once for
// the whole fleet, so no device asks again; a connect failure is not asked
// about (--retries decides); boxes become lines prefixed with the device.
class FleetDialogs : public RunDialogs {
 public:
  // |err| null: boxes are not written (the board shows the run's outcome).
  FleetDialogs(std::string label, std::FILE* err) : label_(std::move(label)), err_(err) {}
  Answer Ask(Question question, const std::string&, ButtonSet buttons) override {
    if (question == Question::Confirm) return Answer::Ok;
    return buttons == ButtonSet::YesNo ? Answer::No : Answer::Cancel;
  }
  void Show(std::uint16_t, const std::string& text) override {
    if (err_ == nullptr) return;
    std::fprintf(err_, "%s: %s\n", label_.c_str(), text.c_str());
    std::fflush(err_);
  }

 private:
  std::string label_;
  std::FILE* err_;
};

// How a fleet's runs are shown.
struct FleetOutput {
  const char* command;   // the command's name in the JSON events
  std::FILE* out;        // log lines, or JSON events
  std::FILE* err;        // boxes, the board, the summary
  bool json = false;     // --json: events on out
  bool logLines = true;  // log lines on out, prefixed with the device
  FleetBoard* board = nullptr;  // a terminal: the board on err
};

// One device's run and what is kept of it.
struct DeviceRun : RunObserver {
  DeviceRun(asio::io_context& io, std::size_t index, const FleetDevice& d, const RunnerLimits& limits,
            const FleetOutput& output)
      : device(d),
        index(index),
        label(Label(d)),
        output_(output),
        report(output.command, output.out, output.err, true, false),
        dialogs(label, output.board != nullptr ? nullptr : output.err),
        log([this](const std::string&, const std::string& appended) { OnLog(appended); }),
        runner(io, dialogs, limits),
        job(log) {
    report.SetDeviceTag(label);
    report.Follow(job);
  }

  // Complete log lines go out prefixed with the device (with --json: as
  // events that carry it).
  void OnLog(const std::string& appended) {
    if (output_.json) {
      report.Log(appended);
      return;
    }
    if (!output_.logLines) return;
    pending_ += TerminalLineEndings(appended);
    std::size_t end;
    while ((end = pending_.find('\n')) != std::string::npos) {
      std::fprintf(output_.out, "%s: %s\n", label.c_str(), pending_.substr(0, end).c_str());
      pending_.erase(0, end + 1);
    }
    std::fflush(output_.out);
  }
  void OnProgress(const Progress& progress) override {
    if (output_.json) report.OnProgress(progress);
    if (output_.board != nullptr) {
      const auto now = std::chrono::steady_clock::now().time_since_epoch();
      output_.board->Progressed(index, progress,
                                std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
    }
  }
  void OnRunEnded(RunOutcome, const Failure&) override {
    if (onEnded) onEnded();
  }

  FleetDevice device;
  std::size_t index;
  std::string label;
  const FleetOutput& output_;
  std::string pending_;
  RunReport report;  // the JSON events of this device (--json)
  FleetDialogs dialogs;
  LogPane log;
  AsioRunner runner;
  DownloadJob job;
  std::function<void()> onEnded;

  bool started = false;
  bool ended = false;
  bool jobStarted = false;  // its job was given the image (a run may end before that)
  std::chrono::system_clock::time_point startWall;
  std::chrono::steady_clock::time_point startSteady;
  std::int64_t durationMs = 0;
  RunOutcome outcome = RunOutcome::None;
  Failure failure;
  int code = kExitStopped;
};

// The fleet's image: held open once (since its header was read) until the
// last run has ended; every run reads its blocks from that one open, each
// proven unchanged, so nothing is copied per device. An image described by
// its path alone is opened here once, with exclusive access, the same way.
class SharedImage {
 public:
  bool Open(const PreparedImage& image, std::string* error) {
    image_ = image;
    if (image.held) return true;
    FileStatus opened;
    image_.held = HeldImage::Take(image.path, ImageAccess::Exclusive, &opened);
    if (!image_.held) {
      *error = opened.reason;
      return false;
    }
    return true;
  }
  const PreparedImage& Image() const { return image_; }

 private:
  PreparedImage image_;
};

class Fleet {
 public:
  Fleet(const RunOptions& options, const FleetOutput& output, const PreparedImage& image,
        const std::vector<FleetDevice>& devices, std::FILE* record)
      : options_(options),
        output_(output),
        image_(image),
        record_(record),
        signals_(io_, SIGINT, SIGTERM),
        redraw_(io_) {
    const RunnerLimits limits = LimitsOf(options);
    for (const FleetDevice& d : devices) {
      runs_.push_back(std::make_unique<DeviceRun>(io_, runs_.size(), d, limits, output_));
    }
  }

  bool Run(std::string* error) {
    if (!shared_.Open(image_, error)) return false;
    signals_.async_wait([this](const asio::error_code& ec, int) { OnSignal(ec); });
    const std::size_t first = std::min<std::size_t>(runs_.size(), static_cast<std::size_t>(options_.jobs));
    for (std::size_t i = 0; i < first; ++i) StartNext();
    if (active_ == 0) signals_.cancel();
    Redraw();
    io_.run();
    // Runs cut off by a second Ctrl-C have no end of their own.
    for (auto& r : runs_) {
      if (r->started && !r->ended) Ended(*r, false);
    }
    if (output_.board != nullptr) output_.board->Draw(output_.err);
    return true;
  }

  const std::vector<std::unique_ptr<DeviceRun>>& Runs() const { return runs_; }

 private:
  void OnSignal(const asio::error_code& ec) {
    if (ec) return;
    const bool atOnce = ++interrupts_ > 1;
    if (output_.board != nullptr) output_.board->Clear(output_.err);
    std::fprintf(output_.err, "%s\n", GetMessageText(atOnce ? IDS_CLI_STOPPING_NOW : IDS_CLI_STOPPING).c_str());
    std::fflush(output_.err);
    stopping_ = true;
    for (auto& r : runs_) {
      if (r->started && !r->ended) r->job.Stop(atOnce);
    }
    if (atOnce) {
      io_.stop();
      return;
    }
    signals_.async_wait([this](const asio::error_code& e, int) { OnSignal(e); });
  }

  // The board is drawn five times a second while devices run.
  void Redraw() {
    if (output_.board == nullptr) return;
    output_.board->Draw(output_.err);
    if (active_ == 0 && (next_ >= runs_.size() || stopping_)) return;
    redraw_.expires_after(std::chrono::milliseconds(200));
    redraw_.async_wait([this](const asio::error_code& ec) {
      if (!ec) Redraw();
    });
  }

  void StartNext() {
    while (next_ < runs_.size() && !stopping_) {
      DeviceRun& r = *runs_[next_++];
      r.jobStarted = true;
      r.started = true;
      r.startWall = std::chrono::system_clock::now();
      r.startSteady = std::chrono::steady_clock::now();
      if (output_.board != nullptr) output_.board->Started(r.index);
      r.job.Machine().SetModeSwitchPauseMs(options_.switchPauseMs);
      RetryPolicy retries;
      retries.retries = options_.retries;
      r.job.SetRetryPolicy(retries);
      r.runner.Attach(r.job);
      r.runner.SetObserver(&r);
      DeviceRun* run = &r;
      // Finished in a handler of its own: the runner is still inside its
      // report when it tells of the end.
      r.onEnded = [this, run] { asio::post(io_, [this, run] { Ended(*run, true); }); };
      ++active_;
      if (!r.job.Start(shared_.Image(), r.device.host, r.device.port, r.runner) &&
          !r.runner.Ended()) {
        r.onEnded = nullptr;
        r.outcome = RunOutcome::Failed;
        r.failure.origin = FailureOrigin::None;
        r.failure.message = "the run could not be started";
        Ended(r, true);
      }
      return;
    }
  }

  void Ended(DeviceRun& r, bool fromRun) {
    if (r.ended) return;
    r.ended = true;
    r.durationMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - r.startSteady).count();
    if (r.jobStarted) {
      if (r.runner.Ended()) {
        r.outcome = r.runner.Outcome();
        r.failure = r.runner.LastFailure();
      } else if (!fromRun) {
        r.outcome = RunOutcome::Stopped;
      }
      --active_;
    }
    r.code = ExitCodeOf(r.outcome, r.failure);
    // A finished run whose bytes differ from the prepared image counts as a
    // broken link: what the device holds is not the image.
    const std::string sent = r.outcome == RunOutcome::Finished ? r.job.SentSha256() : "";
    if (r.outcome == RunOutcome::Finished && sent != image_.sha256) r.code = kExitLink;
    if (output_.board != nullptr) output_.board->Ended(r.index, r.outcome, r.failure);
    WriteRecord(r, sent);
    if (options_.json) r.report.Finish(r.jobStarted ? &r.job : nullptr, true, r.outcome, r.failure, false);
    if (!fromRun) return;
    StartNext();
    if (active_ == 0 && (next_ >= runs_.size() || stopping_)) {
      asio::error_code ignored;
      signals_.cancel(ignored);
      redraw_.cancel();
    }
  }

  void WriteRecord(const DeviceRun& r, const std::string& sent) {
    if (record_ == nullptr) return;
    Json j;
    j["device"] = r.label;
    j["command"] = output_.command;
    j["source"] = options_.file;
    j["image"] = image_.path;
    j["sha256"] = image_.sha256;
    j["version"] = HasImageTag(image_.header) ? Json(ImageVersionNumber(image_.header)) : Json(nullptr);
    j["size"] = image_.length;
    j["start"] = UtcTimeText(r.startWall);
    j["duration_ms"] = r.durationMs;
    j["outcome"] = OutcomeName(r.outcome);
    j["exit_code"] = r.code;
    if (r.failure.failed()) {
      Json f;
      f["origin"] = OriginName(r.failure.origin);
      f["phase"] = PhaseName(r.failure);
      f["text"] = r.failure.message;
      f["detail"] = r.failure.detail;
      j["failure"] = f;
    } else {
      j["failure"] = nullptr;
    }
    j["sha256_sent"] = sent.empty() ? Json(nullptr) : Json(sent);
    j["retries_used"] = r.jobStarted ? r.job.RetriesUsed() : 0;
    const std::string line = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    std::fputs(line.c_str(), record_);
    // Written through at once: the record outlives a crash of the command.
    FlushToDisk(record_);
  }

  const RunOptions& options_;
  const FleetOutput& output_;
  const PreparedImage& image_;
  std::FILE* record_;
  asio::io_context io_;
  asio::signal_set signals_;
  asio::steady_timer redraw_;
  SharedImage shared_;
  std::vector<std::unique_ptr<DeviceRun>> runs_;
  std::size_t next_ = 0;
  int active_ = 0;
  int interrupts_ = 0;
  bool stopping_ = false;
};

}  // namespace

bool ParseHostsText(const std::string& text, std::uint16_t defaultPort, std::vector<FleetDevice>* out,
                    std::string* error) {
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    const std::size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    line = Trim(line);
    if (line.empty()) continue;
    DeviceAddress address;
    std::string why;
    if (!ParseDeviceAddress(line, &address, &why)) {
      *error = "line " + std::to_string(number) + ": bad device '" + line + "': " + why;
      return false;
    }
    const FleetDevice d{address.host, address.PortOr(defaultPort)};
    out->push_back(d);
  }
  return true;
}

int MostSeriousExitCode(const std::vector<int>& codes) {
  // From the most serious down.
  static const int kOrder[] = {kExitUnknown, kExitLink,    kExitTimeout, kExitConnect, kExitInput,
                               kExitRefused, kExitStopped, kExitUsage};
  for (int code : kOrder) {
    if (std::find(codes.begin(), codes.end(), code) != codes.end()) return code;
  }
  for (int code : codes) {
    if (code != kExitSuccess) return code;
  }
  return kExitSuccess;
}

int ReadFleetDevices(const char* name, const RunOptions& options, std::uint16_t defaultPort,
                     std::vector<FleetDevice>* devices, const CommandStreams& streams) {
  for (const DeviceAddress& host : options.hosts) devices->push_back({host.host, host.PortOr(defaultPort)});
  if (!options.hostsFile.empty()) {
    std::ifstream in(options.hostsFile, std::ios::binary);
    std::string error;
    if (!in) {
      std::fprintf(streams.err, "mervix-cli %s: cannot read the hosts file '%s'\n", name, options.hostsFile.c_str());
      return kExitInput;
    }
    std::stringstream text;
    text << in.rdbuf();
    if (!ParseHostsText(text.str(), defaultPort, devices, &error)) {
      std::fprintf(streams.err, "mervix-cli %s: %s: %s\n", name, options.hostsFile.c_str(), error.c_str());
      return kExitInput;
    }
  }
  if (devices->empty()) {
    std::fprintf(streams.err, "mervix-cli %s: no device in '%s'\n", name, options.hostsFile.c_str());
    return kExitUsage;
  }
  return -1;
}

int RunFleet(const char* name, const RunOptions& options, const PreparedImage& image,
             const std::vector<FleetDevice>& devices, const CommandStreams& streams) {
  std::fprintf(streams.err, "%s\n",
               FormatCommandLineText(IDS_CLI_IMAGE, {image.path, std::to_string(image.length), image.sha256}).c_str());

  // One confirmation for the whole fleet.
  TerminalOperator terminal(streams.in, streams.out, streams.err, options.assumeYes);
  const std::string question =
      FormatCommandLineText(IDS_CLI_FLEET_CONFIRM, {std::to_string(devices.size()), image.path});
  if (terminal.Ask(Question::Confirm, question, ButtonSet::OkCancel) != Answer::Ok) return kExitStopped;

  std::FILE* record = nullptr;
  if (!options.recordFile.empty()) {
    record = std::fopen(options.recordFile.c_str(), "a");
    if (record == nullptr) {
      std::fprintf(streams.err, "mervix-cli %s: cannot open the record file '%s'\n", name,
                   options.recordFile.c_str());
      return kExitInput;
    }
  }

  // On a terminal the board shows every device; the log lines then go to
  // standard output only when it is not that terminal.
  FleetOutput output{name, streams.out, streams.err};
  output.json = options.json;
  std::vector<std::string> labels;
  for (const FleetDevice& d : devices) labels.push_back(Label(d));
  FleetBoard board(labels);
  if (!options.json && ShowsProgress(options.progress, streams.err)) {
    output.board = &board;
    output.logLines = !IsTerminal(streams.out);
  }

  Fleet fleet(options, output, image, devices, record);
  std::string error;
  const bool ran = fleet.Run(&error);
  if (record != nullptr) std::fclose(record);
  if (!ran) {
    std::fprintf(streams.err, "mervix-cli %s: %s\n", name, error.c_str());
    return kExitFailure;
  }

  // The summary: counts by outcome, then one line per cause.
  int finished = 0, refusedCount = 0, failed = 0, stopped = 0;
  std::vector<int> codes;
  std::map<std::pair<int, std::string>, int> causes;
  for (const auto& r : fleet.Runs()) {
    codes.push_back(r->code);
    if (r->code == kExitSuccess) {
      ++finished;
      continue;
    }
    if (r->code == kExitStopped) {
      ++stopped;
    } else if (r->failure.origin == FailureOrigin::DeviceRefusal) {
      ++refusedCount;
    } else {
      ++failed;
    }
    const std::string cause = r->failure.failed() ? r->failure.message : std::string(OutcomeName(r->outcome));
    ++causes[{r->code, cause}];
  }
  std::fprintf(streams.err, "%s\n",
               FormatCommandLineText(IDS_CLI_FLEET_SUMMARY,
                                     {std::to_string(devices.size()), std::to_string(finished),
                                      std::to_string(refusedCount), std::to_string(failed), std::to_string(stopped)})
                   .c_str());
  for (const auto& [key, count] : causes) {
    std::fprintf(streams.err, "%s\n",
                 FormatCommandLineText(IDS_CLI_FLEET_CAUSE, {std::to_string(count), key.second,
                                                             std::to_string(key.first)})
                     .c_str());
  }
  std::fflush(streams.err);
  return MostSeriousExitCode(codes);
}

int RunSendFleet(const SendOptions& options, const CommandStreams& streams) {
  std::vector<FleetDevice> devices;
  const int unread = ReadFleetDevices("send", options, options.port, &devices, streams);
  if (unread >= 0) return unread;
  // The image, prepared once for every device.
  PreparedImage image;
  const Failure refused = PrepareImageAsItIs(options.file, &image);
  if (refused.failed()) {
    std::fprintf(streams.err, "mervix-cli send: %s\n", Describe(refused).c_str());
    return ExitCodeOf(RunOutcome::Failed, refused);
  }
  return RunFleet("send", options, image, devices, streams);
}

}  // namespace mervix::cli
