// The command line's JSON event writer (RunReport with --json) fed any
// texts, invalid UTF-8 and control characters included: log text in pieces
// of any size and line ends, boxes with their causes, stops, progress of
// any figures, a run's start (its file name, device, version header and
// SHA-256 text from the input) and its end with any failure.
//
// Checks: standard output is nothing but lines that each parse as one JSON
// object (strictly, so the text in them is valid UTF-8), every object has
// schema 1, a known event, a time and, with a device tag, the device; each
// event carries its fields with their types; run_started comes at most once
// and run_ended exactly once, last; the log lines are the log text cut at its
// line ends, and valid UTF-8 texts (log, box text and cause, file name,
// device, failure text and cause) come out unchanged; the failure and exit
// code of run_ended are those of the outcome given.
//
// Input: a flag byte (bit 0 a device tag, 1 a user module, 2 Japanese, 3 a
// job whose run is followed, 4 the progress line, 5 no outcome, 6 a
// failure, 7 the closing line), the tag, host, file name and SHA-256 texts
// (a length byte, low 6 bits, then the bytes), 16 header bytes, the outcome
// byte and the failure's fields, then calls: a byte (low 3 bits: 0-1 log
// text, 2 box, 3 stopping, 4-5 progress, 6 clear the progress line, 7 the
// run ended; the high bits choose buttons, answer, phase...) and operands.
#include "cli/Commands.h"
#include "cli/support/RunReport.h"
#include "cli/support/TerminalOperator.h"
#include "operations/DownloadJob.h"
#include "resources/FileAccess.h"
#include "resources/LogPane.h"
#include "resources/MessageTable.h"
#include "tests/fuzz/FuzzSupport.h"

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

using namespace mervix;
using mervix::fuzz::InputCursor;
using Json = nlohmann::json;

namespace {

constexpr std::uint32_t kImageLength = 100;

// A file for the job to hold while its run goes on, written once.
const std::string& ImageFile() {
  static const std::string path = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::string p = std::string(tmp && *tmp ? tmp : "/tmp") + "/mervix_json_fuzz_" + std::to_string(::getpid());
    std::FILE* f = std::fopen(p.c_str(), "wb");
    FUZZ_CHECK(f != nullptr);
    const std::vector<char> bytes(kImageLength, 'x');
    FUZZ_CHECK(std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size());
    std::fclose(f);
    std::atexit([] { std::remove(ImageFile().c_str()); });
    return p;
  }();
  return path;
}

// A runner that does nothing: the run stays where it is until it is stopped.
class IdleRunner : public RunPort {
 public:
  void Connect(const std::string&, std::uint16_t) override {}
  void Send(const std::uint8_t*, std::size_t) override {}
  void Close(bool) override {}
  void Pause(int) override {}
  void Ask(Question, const std::string&, const std::string&, ButtonSet) override {}
  bool ShowMessage(std::uint16_t, const std::string&, const std::string&) override { return true; }
  void RunEnded(RunOutcome, const Failure&) override {}
};

bool ValidUtf8(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      n = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + n >= s.size()) return false;
    for (std::size_t k = 1; k <= n; ++k) {
      const unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += n + 1;
  }
  return true;
}

// The text of a string field, which must be there.
std::string Text(const Json& j, const char* key) {
  FUZZ_CHECK(j.contains(key) && j[key].is_string());
  return j[key].get<std::string>();
}

std::int64_t Number(const Json& j, const char* key) {
  FUZZ_CHECK(j.contains(key) && j[key].is_number_integer());
  return j[key].get<std::int64_t>();
}

bool Flag(const Json& j, const char* key) {
  FUZZ_CHECK(j.contains(key) && j[key].is_boolean());
  return j[key].get<bool>();
}

// |actual| is |expected| when that was valid UTF-8 (else it was repaired).
void SameText(const std::string& actual, const std::string& expected) {
  FUZZ_CHECK(ValidUtf8(actual));
  if (ValidUtf8(expected)) FUZZ_CHECK(actual == expected);
}

struct BoxCall {
  std::string text, detail;
  const char* buttons;
  const char* answer;
  bool automatic;
};

// Reads a text of up to 63 bytes off the input.
std::string TextOf(InputCursor& in) { return std::string(in.Take(in.Byte() & 63)); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  InputCursor in(data, size);
  const std::uint8_t flags = in.Byte();
  const std::string deviceTag = (flags & 1) ? TextOf(in) : std::string();
  const std::string host = TextOf(in);
  PreparedImage image;
  image.path = TextOf(in);
  image.sha256 = TextOf(in);
  image.length = kImageLength;
  image.userModule = (flags & 2) != 0;
  const std::string_view header = in.Take(16);
  std::copy(header.begin(), header.end(), image.header.bytes.begin());
  image.header.filled = header.size();
  SetActiveLanguage((flags & 4) ? Language::Japanese : Language::English);
  // How the run ends, and why.
  const RunOutcome outcome = static_cast<RunOutcome>(in.Byte() % 6);
  const bool ended = (flags & 32) == 0;
  Failure failure;
  if (flags & 64) {
    failure.origin = static_cast<FailureOrigin>(1 + in.Byte() % 7);
    failure.phase = static_cast<RunPhase>(in.Byte() % 9);
    failure.block = in.Byte();
    failure.blocks = in.Byte();
    failure.messageId = in.Word();
    failure.nakFlags = in.Word();
    failure.message = TextOf(in);
    failure.detail = TextOf(in);
  }

  char* outText = nullptr;
  std::size_t outSize = 0;
  char* errText = nullptr;
  std::size_t errSize = 0;
  std::FILE* out = ::open_memstream(&outText, &outSize);
  std::FILE* err = ::open_memstream(&errText, &errSize);
  FUZZ_CHECK(out != nullptr && err != nullptr);

  std::string logged;  // the log text as the terminal reads it
  std::vector<BoxCall> boxes;
  std::vector<bool> stops;
  {
    LogPane log;
    DownloadJob job(log);
    IdleRunner runner;
    FileStatus held;
    image.held = HeldImage::Take(ImageFile(), ImageAccess::Shared, &held);
    FUZZ_CHECK(image.held != nullptr);
    const bool withJob = (flags & 8) != 0;
    if (withJob) FUZZ_CHECK(job.Start(image, host, 2222, runner));

    cli::RunReport report("send", out, err, true, (flags & 16) != 0);
    if (withJob) report.Follow(job);
    if (!deviceTag.empty()) report.SetDeviceTag(deviceTag);

    for (int calls = 0; calls < 256 && !in.AtEnd(); ++calls) {
      const std::uint8_t op = in.Byte();
      switch (op & 7) {
        case 0:
        case 1: {
          // The log pane hands over whole lines, so the line ends of each
          // piece are its own.
          const std::string text = TextOf(in);
          logged += cli::TerminalLineEndings(text);
          report.Log(text);
          break;
        }
        case 2: {
          static const ButtonSet sets[] = {ButtonSet::Ok, ButtonSet::OkCancel, ButtonSet::YesNo};
          static const char* const setNames[] = {"ok", "ok_cancel", "yes_no"};
          static const Answer answers[] = {Answer::Ok, Answer::Cancel, Answer::Yes, Answer::No};
          static const char* const answerNames[] = {"ok", "cancel", "yes", "no"};
          BoxCall box{TextOf(in), TextOf(in), setNames[(op >> 3) % 3], answerNames[(op >> 5) & 3],
                      (op & 0x80) != 0};
          report.Box(box.text, box.detail, sets[(op >> 3) % 3], answers[(op >> 5) & 3], box.automatic);
          boxes.push_back(box);
          break;
        }
        case 3:
          stops.push_back((op & 8) != 0);
          report.Stopping((op & 8) != 0);
          break;
        case 4:
        case 5: {
          Progress p;
          p.phase = static_cast<ProgressPhase>((op >> 3) % 9);
          p.total = in.Long();
          p.bytesSent = in.Long();
          p.bytesAcknowledged = (op & 0x80) ? in.Long() : std::min(p.bytesSent, p.total);
          p.blocks = in.Byte();
          p.block = in.Byte();
          report.OnProgress(p);
          break;
        }
        case 6:
          report.ClearProgress();
          break;
        case 7:
          report.OnRunEnded(RunOutcome::Failed, Failure());
          break;
      }
    }

    if (withJob) job.Stop(true);
    // What the engine would keep of the job's run.
    DeviceRecord record;
    record.sentSha256 = job.SentSha256();
    record.retriesUsed = job.RetriesUsed();
    report.Finish(withJob ? &record : nullptr, ended, outcome, failure, (flags & 128) != 0);
  }
  std::fclose(out);
  std::fclose(err);
  const std::string output(outText, outSize);
  std::free(outText);
  std::free(errText);
  SetActiveLanguage(Language::English);
  // MERVIX_FUZZ_TRACE set: the output, to read what an input does.
  if (std::getenv("MERVIX_FUZZ_TRACE") != nullptr) std::fputs(output.c_str(), stderr);

  // Every line one JSON object.
  static const std::set<std::string> kEvents = {"run_started", "log",      "phase",    "block_acknowledged",
                                                "box",         "stopping", "run_ended"};
  static const std::set<std::string> kPhases = {"connecting", "querying", "mode_switch", "reconnecting", "sector",
                                                "confirming", "size",     "sending",     "done"};
  FUZZ_CHECK(!output.empty() && output.back() == '\n');
  std::vector<std::string> logLines;
  std::size_t boxIndex = 0, stopIndex = 0;
  int starts = 0, ends = 0;
  for (std::size_t at = 0; at < output.size();) {
    const std::size_t nl = output.find('\n', at);
    const std::string line = output.substr(at, nl - at);
    at = nl + 1;
    FUZZ_CHECK(ends == 0);  // run_ended is the last line
    Json j;
    try {
      j = Json::parse(line);
    } catch (const Json::exception& e) {
      std::fprintf(stderr, "not JSON (%s): %s\n", e.what(), line.c_str());
      FUZZ_CHECK(false);
    }
    FUZZ_CHECK(j.is_object());
    FUZZ_CHECK(Number(j, "schema") == cli::kJsonSchemaVersion);
    FUZZ_CHECK(Number(j, "t_ms") >= 0);
    const std::string event = Text(j, "event");
    FUZZ_CHECK(kEvents.count(event) == 1);
    if (event == "run_started") {
      // Its device is the job's; every other event carries the tag.
      ++starts;
      FUZZ_CHECK(Text(j, "command") == "send");
      SameText(Text(j, "device"), host + ":2222");
      SameText(Text(j, "image"), image.path);
      SameText(Text(j, "sha256"), image.sha256);
      FUZZ_CHECK(Number(j, "size") == kImageLength);
      FUZZ_CHECK(j.contains("version") && (j["version"].is_null() || j["version"].is_string()));
      FUZZ_CHECK(Text(j, "mode") == (image.userModule ? "user_module" : "firmware"));
      FUZZ_CHECK(Number(j, "retries") == 0);
    } else if (deviceTag.empty()) {
      FUZZ_CHECK(!j.contains("device"));
    } else {
      SameText(Text(j, "device"), deviceTag);
    }
    if (event == "log") {
      const std::string text = Text(j, "text");
      FUZZ_CHECK(ValidUtf8(text));
      logLines.push_back(text);
    } else if (event == "box") {
      FUZZ_CHECK(boxIndex < boxes.size());
      const BoxCall& box = boxes[boxIndex++];
      SameText(Text(j, "text"), box.text);
      SameText(Text(j, "detail"), box.detail);
      FUZZ_CHECK(Text(j, "buttons") == box.buttons && Text(j, "answer") == box.answer);
      FUZZ_CHECK(Flag(j, "automatic") == box.automatic);
    } else if (event == "stopping") {
      FUZZ_CHECK(stopIndex < stops.size());
      FUZZ_CHECK(Flag(j, "at_once") == stops[stopIndex++]);
      FUZZ_CHECK(ValidUtf8(Text(j, "text")));
    } else if (event == "phase") {
      FUZZ_CHECK(kPhases.count(Text(j, "phase")) == 1);
      FUZZ_CHECK(ValidUtf8(Text(j, "text")));
    } else if (event == "block_acknowledged") {
      const std::int64_t bytes = Number(j, "bytes");
      FUZZ_CHECK(bytes > 0 && bytes <= Number(j, "acknowledged"));
      Number(j, "block");
      Number(j, "blocks");
      Number(j, "total");
      FUZZ_CHECK(Number(j, "elapsed_ms") >= 0);
    } else if (event == "run_ended") {
      ++ends;
      FUZZ_CHECK(Text(j, "outcome") == (ended ? OutcomeName(outcome) : "none"));
      FUZZ_CHECK(Number(j, "exit_code") == (ended ? cli::ExitCodeOf(outcome, failure) : kExitFailure));
      FUZZ_CHECK(Flag(j, "started") == (starts == 1));
      FUZZ_CHECK(Number(j, "duration_ms") >= 0);
      FUZZ_CHECK(j.contains("sha256_sent") && j["sha256_sent"].is_null());
      FUZZ_CHECK(!Flag(j, "sent_equals_file"));
      FUZZ_CHECK(Number(j, "retries_used") == 0);
      FUZZ_CHECK(j.contains("failure"));
      if (!failure.failed()) {
        FUZZ_CHECK(j["failure"].is_null());
      } else {
        const Json& f = j["failure"];
        FUZZ_CHECK(f.is_object());
        FUZZ_CHECK(Text(f, "origin") == OriginName(failure.origin));
        FUZZ_CHECK(Text(f, "phase") == PhaseName(failure));
        FUZZ_CHECK(Number(f, "block") == failure.block && Number(f, "blocks") == failure.blocks);
        FUZZ_CHECK(Number(f, "message_id") == failure.messageId);
        FUZZ_CHECK(Text(f, "message_name") == MessageName(failure.messageId));
        SameText(Text(f, "text"), failure.message);
        SameText(Text(f, "detail"), failure.detail);
        FUZZ_CHECK(Number(f, "nak_flags") == failure.nakFlags);
      }
    }
  }
  FUZZ_CHECK(starts <= 1 && ends == 1);
  FUZZ_CHECK(boxIndex == boxes.size() && stopIndex == stops.size());

  // The log lines are the log text cut at its line ends; a last line not
  // yet ended is not written.
  std::size_t lineEnds = 0;
  for (char c : logged) lineEnds += c == '\n';
  FUZZ_CHECK(logLines.size() == lineEnds);
  if (ValidUtf8(logged)) {
    std::string joined;
    for (const std::string& l : logLines) joined += l + "\n";
    FUZZ_CHECK(joined == logged.substr(0, logged.rfind('\n') + 1));
  }
  return 0;
}
