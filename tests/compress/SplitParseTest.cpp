// The whole-input paths of the coder: PutBytes and PutAll must give the
// stream of PutByte bit for bit, whether PutAll parses in one piece, adopts
// the helper's tokens, or parses on itself after the states differed; and
// the comparison of parse states they rest on must see every difference
// that can change a token.
#include <gtest/gtest.h>

#include "compress/ImageCompressor.h"
#include "compress/MatchFinder.h"
#include "compress/SplitParse.h"
#include "tests/compress/FirmwareLikeImage.h"
#include "tests/compress/Lh5TestSupport.h"

namespace mervix {
namespace {

using testing::Compress;
using testing::ScriptedAllocator;
using testing::TokenRecorder;

// PutAll on a fresh coder: the stream, the tokens and how it parsed.
struct WholeResult {
  std::vector<std::uint8_t> stream;
  std::vector<TokenRecorder::Token> tokens;
  std::uint32_t inputSize = 0;
  SplitOutcome outcome = SplitOutcome::NotSplit;
  int comparisons = 0;
};

WholeResult CodeWhole(const std::vector<std::uint8_t>& input, std::uint16_t bits = 13,
                      Allocator* allocator = nullptr) {
  WholeResult r;
  MemoryOutputStream out;
  TokenRecorder recorder;
  ImageCompressor coder(allocator, &SilentDiagnostics());
  coder.SetTokenObserver(&recorder);
  EXPECT_EQ(coder.Start(&out, bits, 1), 1);
  coder.PutAll(input.data(), input.size());
  r.outcome = coder.LastSplit();
  r.comparisons = coder.LastSplitComparisons();
  coder.Finish(&r.inputSize);
  r.stream = out.Bytes();
  r.tokens = recorder.tokens;
  return r;
}

// The stream and tokens of PutByte for every byte, with 2^bits dictionary.
testing::CompressResult CodeByByte(const std::vector<std::uint8_t>& input, std::uint16_t bits = 13) {
  testing::CompressResult r;
  MemoryOutputStream out;
  TokenRecorder recorder;
  ImageCompressor coder(nullptr, &SilentDiagnostics());
  coder.SetTokenObserver(&recorder);
  EXPECT_EQ(coder.Start(&out, bits, 1), 1);
  for (std::uint8_t b : input) coder.PutByte(b);
  coder.Finish(&r.inputSize);
  r.stream = out.Bytes();
  r.tokens = recorder.tokens;
  return r;
}

// Restores the helper's warm-up when a test that shortened it ends.
struct WarmUpOverride {
  explicit WarmUpOverride(int windows) { SetSplitWarmUpForTesting(windows); }
  ~WarmUpOverride() { SetSplitWarmUpForTesting(0); }
};

std::vector<std::uint8_t> Concat(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(WholeInput, PutBytesInAnyPiecesGivesTheStreamOfPutByte) {
  const std::vector<std::uint8_t> input = testing::FirmwareLikeImage(100000, 31);
  const testing::CompressResult expected = CodeByByte(input);
  for (std::size_t piece : {1u, 7u, 256u, 8191u, 8448u, 30000u, 100000u}) {
    MemoryOutputStream out;
    ImageCompressor coder(nullptr, &SilentDiagnostics());
    ASSERT_EQ(coder.Start(&out, 13, 1), 1);
    for (std::size_t at = 0; at < input.size(); at += piece) {
      coder.PutBytes(nullptr, 0);
      coder.PutBytes(input.data() + at, std::min(piece, input.size() - at));
    }
    std::uint32_t size = 0;
    coder.Finish(&size);
    EXPECT_EQ(size, input.size()) << piece;
    EXPECT_TRUE(out.Bytes() == expected.stream) << piece;
  }
}

TEST(WholeInput, PutAllGivesTheStreamOfPutByte) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> data;
    std::uint16_t bits;
    SplitOutcome outcome;
  };
  const std::vector<Case> cases = {
      {"firmware", testing::FirmwareLikeImage(), 13, SplitOutcome::Adopted},
      {"text", testing::TextLike(700000, 3), 13, SplitOutcome::Adopted},  // meets only after several sync points
      {"code", testing::MachineCodeLike(kSplitMinimumInput, 2), 13, SplitOutcome::Adopted},
      {"random+zeros", Concat(testing::RandomBytes(200000, 4), std::vector<std::uint8_t>(200000, 0)), 13,
       SplitOutcome::Adopted},
      {"bits9", testing::FirmwareLikeImage(400000, 9), 9, SplitOutcome::Adopted},
      {"bits12", testing::FirmwareLikeImage(400000, 12), 12, SplitOutcome::Adopted},
      {"small", testing::FirmwareLikeImage(kSplitMinimumInput - 1, 5), 13, SplitOutcome::NotSplit},
      {"empty", {}, 13, SplitOutcome::NotSplit},
  };
  for (const Case& c : cases) {
    const testing::CompressResult expected = CodeByByte(c.data, c.bits);
    const WholeResult r = CodeWhole(c.data, c.bits);
    EXPECT_EQ(r.outcome, c.outcome) << c.name;
    EXPECT_EQ(r.inputSize, c.data.size()) << c.name;
    EXPECT_TRUE(r.tokens == expected.tokens) << c.name;
    EXPECT_TRUE(r.stream == expected.stream) << c.name;
  }
}

TEST(WholeInput, StatesThatDifferAtEverySyncPointAreParsedOnHere) {
  // With one window of warm-up this text never meets the full parse's
  // state; this firmware-like image meets it only at a later sync point.
  const WarmUpOverride shortWarmUp(1);
  const std::vector<std::uint8_t> text = testing::TextLike(400000, 2);
  const WholeResult t = CodeWhole(text);
  EXPECT_EQ(t.outcome, SplitOutcome::ParsedHere);
  EXPECT_EQ(t.comparisons, PlanSplit(text.data(), text.size(), 13).attempts);
  EXPECT_TRUE(t.stream == CodeByByte(text).stream);

  const std::vector<std::uint8_t> image = testing::FirmwareLikeImage(400000, 1);
  const WholeResult f = CodeWhole(image);
  EXPECT_EQ(f.outcome, SplitOutcome::Adopted);
  EXPECT_GT(f.comparisons, 1);
  EXPECT_TRUE(f.stream == CodeByByte(image).stream);
}

TEST(WholeInput, TheHelpersMemoryComesFromTheAllocatorAndGoesBack) {
  const std::vector<std::uint8_t> input = testing::FirmwareLikeImage(500000, 8);
  const std::vector<std::uint8_t> expected = Compress(input).stream;
  ScriptedAllocator heap;
  const WholeResult split = CodeWhole(input, 13, &heap);
  EXPECT_EQ(split.outcome, SplitOutcome::Adopted);
  EXPECT_TRUE(split.stream == expected);
  EXPECT_GT(heap.peakBytes, 199027u);  // the coder's plan and the helper's arrays
  EXPECT_EQ(heap.liveBlocks, 0);
  // Every request beyond the coder's own refused: one thread, same stream.
  ScriptedAllocator tight;
  tight.FailRequests(testing::kBlockBufferRequest + 1, 1000);
  const WholeResult alone = CodeWhole(input, 13, &tight);
  EXPECT_EQ(alone.outcome, SplitOutcome::NotSplit);
  EXPECT_TRUE(alone.stream == expected);
  EXPECT_EQ(tight.peakBytes, 199027u);
  EXPECT_EQ(tight.liveBlocks, 0);
}

TEST(WholeInput, SplitPointsAreWholeWindowsWithinTheInput) {
  EXPECT_EQ(PlanSplit(nullptr, 0, 13).attempts, 0);
  const std::vector<std::uint8_t> small(kSplitMinimumInput - 1, 1);
  EXPECT_EQ(PlanSplit(small.data(), small.size(), 13).attempts, 0);
  for (int bits : {9, 13}) {
    const std::size_t d = std::size_t{1} << bits;
    for (std::size_t size : {kSplitMinimumInput, std::size_t{700000}, std::size_t{2031616}}) {
      const std::vector<std::uint8_t> data = testing::RandomBytes(size, static_cast<std::uint32_t>(size));
      const SplitPlan plan = PlanSplit(data.data(), size, bits);
      ASSERT_GT(plan.attempts, 0) << size;
      EXPECT_EQ(plan.first % d, 0u);
      EXPECT_EQ(plan.start, plan.first - kWarmUpWindows * d);
      EXPECT_LE(plan.SyncOffset(plan.attempts - 1) + 4 * d, size);
      // Data of one kind: the calling thread, which also codes the blocks,
      // takes a little less than half.
      EXPECT_LE(plan.first, size / 2 + kWarmUpWindows * d);
      EXPECT_GT(plan.first, size / 3);
    }
  }
  // A run of one byte value costs little to parse: the helper takes it, and
  // the calling thread more than half of what comes before.
  const std::vector<std::uint8_t> tail =
      Concat(testing::RandomBytes(1000000, 2), std::vector<std::uint8_t>(1000000, 0));
  const std::size_t first = PlanSplit(tail.data(), tail.size(), 13).first;
  EXPECT_GT(first, 500000u);
  EXPECT_LT(first, 1000000u);
}

// A parser over its own arrays, fed from an input offset up to a sync point
// where it pauses.
class PausedParser {
 public:
  explicit PausedParser(int bits)
      : layout_(bits),
        window_(static_cast<std::size_t>(layout_.windowBytes)),
        links_(static_cast<std::size_t>(layout_.linkEntries)),
        slots_(static_cast<std::size_t>(layout_.slotEntries)),
        branches_(static_cast<std::size_t>(layout_.branchEntries)),
        imageMemory_(ParserImage::BytesFor(bits)) {
    sink_.AttachLog(&log_);
    finder.Attach({window_.data(), links_.data(), slots_.data(), branches_.data()}, bits, 0, &sink_,
                  &SilentDiagnostics());
    finder.InitDictionary();
    image.Bind(imageMemory_.data(), bits);
  }
  void RunTo(const std::vector<std::uint8_t>& input, std::size_t start, std::size_t sync) {
    finder.SetStreamOffset(static_cast<std::uint32_t>(start));
    finder.SetSyncPoint(static_cast<std::uint32_t>(sync), nullptr);
    finder.PutBytes(input.data() + start, input.size() - start);
    ASSERT_EQ(finder.State(), ParserState::AtSync);
    ASSERT_GE(finder.InputOffset(), sync);
    finder.TakeImage(&image);
  }
  int Size() const { return layout_.size; }

  MatchFinder finder;
  ParserImage image;

 private:
  DictionaryLayout layout_;
  std::vector<std::uint8_t> window_;
  std::vector<NodeLinks> links_;
  std::vector<std::int16_t> slots_;
  std::vector<BranchInfo> branches_;
  std::vector<std::uint8_t> imageMemory_;
  TokenLog log_;
  BlockEncoder sink_;
};

TEST(ParseState, MatchesSeesEveryDifferenceThatCanChangeAToken) {
  // The helper's way: a parse from 8 windows before the sync point meets
  // the parse from the start there; from one window before it does not.
  constexpr std::size_t kSync = 16 * 8192;
  const std::vector<std::uint8_t> plain = testing::FirmwareLikeImage(200000, 17);
  PausedParser fromStart(13);
  fromStart.RunTo(plain, 0, kSync);
  PausedParser helper(13);
  helper.RunTo(plain, kSync - 8 * 8192, kSync);
  EXPECT_TRUE(fromStart.finder.Matches(helper.image));
  EXPECT_TRUE(helper.finder.Matches(fromStart.image));
  PausedParser late(13);
  late.RunTo(plain, kSync - 8192, kSync);
  EXPECT_FALSE(fromStart.finder.Matches(late.image));

  // A run of zeros shortly before the sync point leaves replaced leaves.
  const std::vector<std::uint8_t> input =
      Concat(Concat(testing::FirmwareLikeImage(125000, 17), std::vector<std::uint8_t>(3000, 0)),
             testing::FirmwareLikeImage(80000, 18));
  PausedParser full(13);
  full.RunTo(input, 0, kSync);
  PausedParser same(13);
  same.RunTo(input, 0, kSync);
  ASSERT_TRUE(full.finder.Matches(same.image));

  // Each field of the state changed alone in an image of the same state.
  const int d = full.Size();
  ParserImage& image = same.image;
  int rootChild = 0;   // an internal node under a root
  int innerChild = 0;  // an internal node under an internal node
  int replaced = 0;    // a leaf replaced by a later copy of its 256 bytes
  for (int p = d; p < 2 * d; ++p) {
    const int n = image.parents[p];
    if (n == 0) replaced = p;
    if (n == 0 || n >= d) continue;
    (image.parents[n] >= d ? rootChild : innerChild) = n;
  }
  ASSERT_NE(rootChild, 0);
  ASSERT_NE(innerChild, 0);
  ASSERT_NE(replaced, 0);
  const auto differs = [&](auto change) {
    change(+1);
    const bool seen = !full.finder.Matches(image);
    change(-1);
    EXPECT_TRUE(full.finder.Matches(image));  // the change undone
    return seen;
  };
  EXPECT_TRUE(differs([&](int k) { image.window[100] = static_cast<std::uint8_t>(image.window[100] + k); }));
  EXPECT_TRUE(differs([&](int k) { image.matchLen = static_cast<std::uint16_t>(image.matchLen + k); }));
  EXPECT_TRUE(differs([&](int k) { image.matchPos = static_cast<std::uint16_t>(image.matchPos + k); }));
  EXPECT_TRUE(differs([&](int k) { image.lookahead = static_cast<std::int16_t>(image.lookahead + k); }));
  EXPECT_TRUE(differs([&](int k) { image.forward[replaced - d] = static_cast<std::int16_t>(image.forward[replaced - d] + k); }));
  EXPECT_TRUE(differs([&](int k) { image.branches[innerChild].depth = static_cast<std::uint8_t>(image.branches[innerChild].depth + k); }));
  EXPECT_TRUE(differs([&](int k) { image.branches[innerChild].children = static_cast<std::uint8_t>(image.branches[innerChild].children + k); }));
  EXPECT_TRUE(differs([&](int k) { image.branches[rootChild].position = static_cast<std::uint16_t>(image.branches[rootChild].position + k); }));
  EXPECT_TRUE(differs([&](int) { image.branches[innerChild].position ^= 0x8000; }));
  // The pending mark of a root's child has no effect beyond itself.
  EXPECT_FALSE(differs([&](int) { image.branches[rootChild].position ^= 0x8000; }));
  // A leaf moved under another node.
  int leaf = d;
  while (image.parents[leaf] == 0) ++leaf;
  const std::int16_t parent = image.parents[leaf];
  image.parents[leaf] = static_cast<std::int16_t>(parent == innerChild ? rootChild : innerChild);
  EXPECT_FALSE(full.finder.Matches(image));
  image.parents[leaf] = parent;
  EXPECT_TRUE(full.finder.Matches(image));
}

}  // namespace
}  // namespace mervix
