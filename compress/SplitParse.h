// A whole input parsed in two pieces at the same time, giving exactly the
// tokens of one parse from start to end.
//
// The calling thread parses from the start up to a sync point B (a multiple
// of the dictionary size D, chosen by PlanSplit so that both threads have
// about the same work). A helper thread starts a fresh parser W =
// kWarmUpWindows windows earlier, at B - W, on the same bytes and in the
// same window cycle, and parses to the end. By B its window, its leaves and
// the shape of its trie are those of the full parse: they depend on the last
// D bytes only. The positions and pending marks of the internal nodes, and
// the parse cursor, depend on the history; on firmware images they have
// become the same within a few windows, on text of a small vocabulary only
// after 20 to 30. So the helper records an image of its state
// (MatchFinder::TakeImage) at B and at the later sync points of
// kSyncWindows, and keeps its tokens in a log from B on. The calling thread
// compares its own state with the image at each sync point in turn
// (MatchFinder::Matches). At the first that matches, the helper's tokens
// from there on are the tokens it would emit itself: they go into the block
// encoder in order as the helper publishes them (a window at a time), and
// the calling thread ends the stream. If none matches, the helper is
// stopped and the calling thread parses to the end on its own. The stream is
// the same either way; only the time differs.
//
// Memory beyond the coder's plan, taken from its allocator for the call and
// given back before it returns: a second dictionary (174 KB for 13 bits),
// kMaxSyncAttempts state images (100 KB each) and the token log (2 bytes
// per input byte beyond B).
#pragma once

#include <cstddef>
#include <cstdint>

#include "compress/BlockEncoder.h"
#include "compress/CoderInterfaces.h"
#include "compress/MatchFinder.h"

namespace mervix {

// Windows the helper parses before the first sync point.
constexpr int kWarmUpWindows = 8;
// The sync points tried, in windows after the first one: most inputs meet
// at the first, a few (text of a small vocabulary) only after 20 to 30.
constexpr int kMaxSyncAttempts = 9;
constexpr int kSyncWindows[kMaxSyncAttempts] = {0, 2, 4, 8, 12, 16, 24, 32, 48};

// Inputs below this size are parsed on one thread.
constexpr std::size_t kSplitMinimumInput = 256 * 1024;

// Where the pieces meet for an input: the helper starts at `start`, the
// sync points are first + kSyncWindows[i] * window for i < attempts (0: no
// split).
struct SplitPlan {
  std::size_t start = 0;
  std::size_t first = 0;
  std::size_t window = 0;
  int attempts = 0;
  std::size_t SyncOffset(int i) const { return first + static_cast<std::size_t>(kSyncWindows[i]) * window; }
};
SplitPlan PlanSplit(const std::uint8_t* data, std::size_t size, int dictionaryBits);

// Where the second piece is coded.
enum class SplitOutcome {
  NotSplit,    // no helper could be had (memory, thread): nothing taken
  Adopted,     // the helper's tokens were used from the sync point on
  ParsedHere,  // the states differed: the calling thread parsed everything
};

// Test hook: the number of windows the helper parses before the sync point
// instead of kWarmUpWindows (0 restores it). With very few the helper's
// state differs at the sync point and the calling thread parses on.
void SetSplitWarmUpForTesting(int windows);

// Codes data[0..size) through finder, which is attached to encoder, has
// been initialised and has not been given any byte. On NotSplit nothing was
// taken; otherwise every byte was, and the stream ends as after a Drain (or
// is ready for one). The helper's memory comes from allocator.
// *comparisons receives the number of sync points at which the states were
// compared (the last one matched when Adopted).
SplitOutcome ParseInTwoPieces(MatchFinder& finder, BlockEncoder& encoder, int dictionaryBits,
                              const std::uint8_t* data, std::size_t size, Allocator& allocator, int* comparisons);

}  // namespace mervix
