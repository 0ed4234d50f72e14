// The device's side of the protocol as any bytes: ClassifyResponse on every
// 8-byte window of the input, then a whole download run of a download job
// (the session machine with its image file) against the scripted runner,
// whose replies, their splitting into reads, the closes and failures, and
// the operator's answers all come from the input.
//
// Input layout:
//   byte 0   bit 0 user module run, bits 1-2 which image, bit 3 the first
//            connect fails, bit 4 the reconnect after the switch fails,
//            bit 5 end a run still waiting by closing the window rather
//            than by the runner's time-out, bit 6 one send fails (its
//            number in the next byte)
//   byte 1   the operator's answers, one bit each (1 = OK / Yes); bit 7
//            also has the runner show its boxes later, as the window does
//   byte 2   length of the user base address text (low 5 bits), the text follows
//   then     one reply per request: a count byte (low 3 bits: arrivals),
//            each arrival a kind byte (top 3 bits) with its operands:
//              0 ack frame            1 status frame (status byte follows)
//              2 NAK (flag word follows)  3 raw bytes, (low 5 bits) % 17 of them
//              4 ack frame split after (low 3 bits) bytes
//              5 peer close           6 read failure   7 bad-code frame
//
// Checks: the classification is consistent with the frame's code; every run
// ends exactly once with the connection gone, the image file closed (no
// descriptor left open), the button enabled, an outcome recorded and no
// send on a closed connection; image bytes the device received are the
// image's own, in order.
#include "image/HexText.h"
#include "operations/DownloadJob.h"
#include "protocol/Frames.h"
#include "resources/LogPane.h"
#include "resources/MessageTable.h"
#include "tests/fuzz/FuzzSupport.h"
#include "tests/support/ScriptedRunner.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

using namespace mervix;
using mervix::fuzz::InputCursor;
using mervix::testing::AckFrame;
using mervix::testing::Arrival;
using mervix::testing::FakeOperator;
using mervix::testing::NakFrame;
using mervix::testing::Reply;
using mervix::testing::ScriptedRunner;
using mervix::testing::StatusFrame;

namespace {

struct TestImage {
  std::string path;
  std::vector<std::uint8_t> bytes;
};

// Four images written once per process: under one block, one piece over a
// block boundary, exactly one block, and two blocks and a bit. No byte is
// 0x51, the first byte of every request, so that image data the fake device
// mistakes for frames (after a mismatch the fuzzer arranged) can never look
// like a SizeRequest and be recorded as blocks.
const std::vector<TestImage>& Images() {
  static const std::vector<TestImage> images = [] {
    std::vector<TestImage> all;
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/mervix_session_fuzz_XXXXXX";
    if (!::mkdtemp(dir.data())) {
      std::perror("mkdtemp");
      std::abort();
    }
    const std::size_t lengths[] = {1, 1500, 65536, 131077};
    std::uint32_t x = 0x2468ACE1u;
    for (std::size_t i = 0; i < 4; ++i) {
      TestImage image;
      image.path = dir + "/image" + std::to_string(i) + ".img";
      image.bytes.resize(lengths[i]);
      for (std::uint8_t& b : image.bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
        if (b == 0x51) b = 0x50;
      }
      std::FILE* f = std::fopen(image.path.c_str(), "wb");
      FUZZ_CHECK(f != nullptr);
      FUZZ_CHECK(std::fwrite(image.bytes.data(), 1, image.bytes.size(), f) == image.bytes.size());
      std::fclose(f);
      all.push_back(std::move(image));
    }
    return all;
  }();
  return images;
}

int OpenDescriptors() {
  int count = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (::readdir(d)) ++count;
    ::closedir(d);
  }
  return count;
}

void CheckClassification(const ProtocolFrame& frame) {
  const ResponseClass c = ClassifyResponse(frame);
  const std::uint16_t code = static_cast<std::uint16_t>((frame[0] << 8) | frame[1]);
  switch (c.kind) {
    case ResponseKind::Ack:
      FUZZ_CHECK(code == kCodeAck && c.messageId == 0 && c.status == 0);
      break;
    case ResponseKind::StatusReply:
      FUZZ_CHECK(code == kCodeStatusReply && c.messageId == 0);
      FUZZ_CHECK(c.status >= 1 && c.status <= 3);
      for (std::size_t i = 4; i < kFrameSize; ++i) FUZZ_CHECK(frame[i] == 0);
      FUZZ_CHECK((frame[2] == c.status && frame[3] == 0) || (c.status != 3 && frame[2] == 0 && frame[3] == c.status));
      break;
    case ResponseKind::BadStatus:
      FUZZ_CHECK(code == kCodeStatusReply && c.messageId == 126);
      break;
    case ResponseKind::Nak:
      FUZZ_CHECK(code == kCodeNak);
      FUZZ_CHECK(c.nakFlags == ((frame[2] << 8) | frame[3]));
      FUZZ_CHECK(c.messageId >= 116 && c.messageId <= 124 && c.messageId != 120);
      FUZZ_CHECK(c.messageId == NakMessageId(c.nakFlags));
      FUZZ_CHECK((c.messageId == 124) == ((c.nakFlags & 0x803F) == 0));
      break;
    case ResponseKind::BadCode:
      FUZZ_CHECK(code != kCodeAck && code != kCodeNak && code != kCodeStatusReply && c.messageId == 127);
      break;
  }
}

// One reply of the script, as the input describes it.
Reply ReadReply(InputCursor& in) {
  Reply reply;
  const int arrivals = in.Byte() & 7;
  for (int i = 0; i < arrivals && !in.AtEnd(); ++i) {
    const std::uint8_t kind = in.Byte();
    switch (kind >> 5) {
      case 0: {
        const ProtocolFrame f = AckFrame();
        reply.ThenBytes({f.begin(), f.end()});
        break;
      }
      case 1: {
        const ProtocolFrame f = StatusFrame(in.Byte());
        reply.ThenBytes({f.begin(), f.end()});
        break;
      }
      case 2: {
        const ProtocolFrame f = NakFrame(in.Word());
        reply.ThenBytes({f.begin(), f.end()});
        break;
      }
      case 3: {
        const std::string_view raw = in.Take((kind & 0x1F) % 17);
        reply.ThenBytes(std::vector<std::uint8_t>(raw.begin(), raw.end()));
        break;
      }
      case 4: {
        const ProtocolFrame f = AckFrame();
        const std::size_t cut = 1 + (kind & 7) % 7;
        reply.ThenBytes({f.begin(), f.begin() + cut});
        reply.ThenBytes({f.begin() + cut, f.end()});
        break;
      }
      case 5: reply.ThenClose(); break;
      case 6: reply.arrivals.push_back({Arrival::Kind::ReadFailure, {}}); break;
      case 7: reply.ThenBytes({0x52, 0x07, 0, 0, 0, 0, 0, 0}); break;
    }
  }
  return reply;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<TestImage>& images = Images();
  for (std::size_t i = 0; i + kFrameSize <= size; ++i) {
    ProtocolFrame frame;
    std::copy(data + i, data + i + kFrameSize, frame.begin());
    CheckClassification(frame);
  }

  InputCursor in(data, size);
  const std::uint8_t flags = in.Byte();
  const std::uint8_t answerBits = in.Byte();
  const std::string_view baseText = in.Take(in.Byte() & 0x1F);
  const TestImage& image = images[(flags >> 1) & 3];

  FakeOperator op;
  ScriptedRunner link(op);
  link.deferBoxes = (answerBits & 0x80) != 0;
  for (int i = 0; i < 8; ++i) op.answers.push_back((answerBits >> i) & 1 ? Answer::Yes : Answer::No);
  // OK/Cancel questions take Ok for a Yes bit: the fake returns the scripted
  // answer as it is, so map it when the box is of that kind.
  op.whileBoxOpen = [&op](const FakeOperator::Box& box) {
    if (box.buttons == ButtonSet::OkCancel && !op.answers.empty())
      op.answers.front() = op.answers.front() == Answer::Yes ? Answer::Ok : Answer::Cancel;
  };
  if (flags & 0x08) link.connectResults.push_back(false);
  if (flags & 0x10) {
    link.connectResults.push_back(true);   // the first connection
    link.connectResults.push_back(false);  // the reconnect after the switch
  }
  if (flags & 0x40) link.failSendOnCall = 1 + in.Byte();
  for (int replies = 0; replies < 64 && !in.AtEnd(); ++replies) link.Then(ReadReply(in));

  const int descriptorsBefore = OpenDescriptors();
  {
    LogPane log(op.LogRecorder());
    DownloadJob job(log);
    link.Attach(job);
    SetActiveLanguage((flags & 0x80) ? Language::Japanese : Language::English);
    PreparedImage prepared;
    prepared.path = image.path;
    prepared.length = static_cast<std::uint32_t>(image.bytes.size());
    prepared.userModule = (flags & 1) != 0;
    prepared.sectorAddress = ParseAddressText(baseText);

    op.SetDownloadEnabled(false);
    FUZZ_CHECK(job.Start(prepared, "127.0.0.1", 2222, link));
    link.Run();
    if (job.InProgress()) {
      // The device went quiet: the command line times out, the window closes.
      if (flags & 0x20) {
        job.Stop(true);
      } else {
        job.OnTimedOut("silence");
      }
      link.Run();
    }
    FUZZ_CHECK(!job.InProgress());
    FUZZ_CHECK(!job.ImageOpen());
    FUZZ_CHECK(!link.Open());
    FUZZ_CHECK(link.ends == 1);
    FUZZ_CHECK(job.LastOutcome() != RunOutcome::None);
    FUZZ_CHECK(!op.enables.empty() && op.enables.back());
    if (job.LastOutcome() == RunOutcome::Finished) {
      std::size_t sent = 0;
      for (std::size_t s : link.sendSizes) sent += s;
      FUZZ_CHECK(sent >= image.bytes.size() + kFrameSize);
    }
  }
  SetActiveLanguage(Language::English);
  for (const std::string& m : link.misuse) {
    std::fprintf(stderr, "link misuse: %s\n", m.c_str());
  }
  FUZZ_CHECK(link.misuse.empty());
  FUZZ_CHECK(OpenDescriptors() == descriptorsBefore);

  // The image bytes each connection carried after an acknowledged
  // SizeRequest. A device that answers with more frames than it was asked
  // for (a status reply in place of a block's acknowledgement, say) makes the
  // session send requests the fake device, still counting block bytes,
  // records as image data. The image holds no 0x51, so every 0x51 starts
  // such a request: it is skipped whole, and a SizeRequest among them means
  // the session starts the image again from its first byte. Everything else
  // must be the image's own bytes, in order.
  struct Progress {
    std::size_t offset = 0;  // next image byte expected
    std::size_t skip = 0;    // bytes of a request still to pass over
  };
  std::map<int, Progress> progress;
  for (const auto& r : link.requests) {
    Progress& p = progress[r.connection];
    if (r.kind == mervix::testing::SentRequest::Kind::Frame) {
      if (r.frame[0] == 0x51 && r.frame[1] == 0x22) p.offset = 0;
      continue;
    }
    // The fake cuts blocks by count, so a request may straddle two of them.
    for (std::size_t i = 0; i < r.bytes.size(); ++i) {
      if (p.skip > 0) {
        --p.skip;
        if (p.skip == kFrameSize - 2 && r.bytes[i] == 0x22) p.offset = 0;
        continue;
      }
      if (r.bytes[i] == 0x51) {
        p.skip = kFrameSize - 1;
        continue;
      }
      FUZZ_CHECK(p.offset < image.bytes.size());
      FUZZ_CHECK(r.bytes[i] == image.bytes[p.offset]);
      ++p.offset;
    }
  }
  return 0;
}
