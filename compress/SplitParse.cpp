#include "compress/SplitParse.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

namespace mervix {
namespace {

std::atomic<int> gWarmUpWindows{0};

int WarmUpWindows() {
  const int w = gWarmUpWindows.load(std::memory_order_relaxed);
  return w > 0 ? w : kWarmUpWindows;
}

// Dictionary arrays in one block of the allocator.
class ArrayBlock {
 public:
  ArrayBlock(Allocator& allocator, const DictionaryLayout& layout) : allocator_(allocator) {
    const std::size_t window = Round(static_cast<std::size_t>(layout.windowBytes));
    const std::size_t links = Round(static_cast<std::size_t>(layout.linkEntries) * sizeof(NodeLinks));
    const std::size_t branches = Round(static_cast<std::size_t>(layout.branchEntries) * sizeof(BranchInfo));
    const std::size_t slots = Round(static_cast<std::size_t>(layout.slotEntries) * 2);
    block_ = static_cast<std::uint8_t*>(allocator_.Allocate(window + links + branches + slots));
    if (block_ == nullptr) return;
    arrays.window = block_;
    arrays.links = reinterpret_cast<NodeLinks*>(block_ + window);
    arrays.branches = reinterpret_cast<BranchInfo*>(block_ + window + links);
    arrays.slotHeads = reinterpret_cast<std::int16_t*>(block_ + window + links + branches);
  }
  ~ArrayBlock() { allocator_.Release(block_); }
  ArrayBlock(const ArrayBlock&) = delete;
  ArrayBlock& operator=(const ArrayBlock&) = delete;
  bool ok() const { return block_ != nullptr; }
  DictionaryArrays arrays;

 private:
  static std::size_t Round(std::size_t n) { return (n + 15) & ~std::size_t{15}; }
  Allocator& allocator_;
  std::uint8_t* block_ = nullptr;
};

// The helper thread's side: its parser, the images of its state at the
// sync points, and the log of its tokens from the first sync point on. The
// members below the mutex are shared with the calling thread under it.
class Helper final : public MatchFinder::SyncCallback {
 public:
  Helper(Allocator& allocator, int dictionaryBits, const SplitPlan& plan, std::size_t logUnits)
      : allocator_(allocator), layout_(dictionaryBits), plan_(plan), live_(allocator, layout_) {
    const std::size_t imageBytes = ParserImage::BytesFor(dictionaryBits);
    imageMemory_ = static_cast<std::uint8_t*>(allocator_.Allocate(imageBytes * static_cast<std::size_t>(plan.attempts)));
    if (imageMemory_ != nullptr) {
      for (int i = 0; i < plan.attempts; ++i) images_[i].Bind(imageMemory_ + imageBytes * static_cast<std::size_t>(i), dictionaryBits);
    }
    log_.units = static_cast<std::uint16_t*>(allocator_.Allocate(logUnits * sizeof(std::uint16_t)));
    log_.capacity = log_.units != nullptr ? logUnits : 0;
  }
  ~Helper() override {
    allocator_.Release(log_.units);
    allocator_.Release(imageMemory_);
  }
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;

  bool ok() const { return live_.ok() && imageMemory_ != nullptr && log_.units != nullptr; }

  // Parses data[plan.start..size) in the window cycle of a parse from offset
  // 0, recording its state at each sync point.
  void Run(int dictionaryBits, const std::uint8_t* data, std::size_t size) {
    sink_.AttachLog(&log_);
    std::memset(live_.arrays.window, 0, static_cast<std::size_t>(layout_.windowBytes));
    finder_.Attach(live_.arrays, dictionaryBits, 0, &sink_, &SilentDiagnostics());
    finder_.InitDictionary();
    finder_.SetStreamOffset(static_cast<std::uint32_t>(plan_.start));
    finder_.SetSyncPoint(static_cast<std::uint32_t>(plan_.SyncOffset(0)), this);
    // One window at a time, publishing the tokens after each.
    const std::size_t piece = static_cast<std::size_t>(layout_.size);
    std::size_t at = plan_.start;
    while (at < size && !cancel.load(std::memory_order_relaxed)) {
      at += finder_.PutBytes(data + at, std::min(piece, size - at));
      Publish(false);
    }
    if (!cancel.load(std::memory_order_relaxed)) finder_.Drain();
    Publish(true);
  }

  void AtSyncPoint(MatchFinder& finder) override {
    const int i = taken_;
    finder.TakeImage(&images_[i]);
    logStart_[i] = log_.count;
    log_.recording = true;
    taken_ = i + 1;
    if (taken_ < plan_.attempts) finder.SetSyncPoint(static_cast<std::uint32_t>(plan_.SyncOffset(taken_)), this);
    {
      std::lock_guard<std::mutex> lock(mutex);
      imagesReady = taken_;
    }
    changed.notify_all();
  }

  const ParserImage& Image(int i) const { return images_[i]; }
  std::size_t LogStart(int i) const { return logStart_[i]; }
  const std::uint16_t* Units() const { return log_.units; }

  std::atomic<bool> cancel{false};

  std::mutex mutex;
  std::condition_variable changed;
  int imagesReady = 0;        // images the calling thread may read
  std::size_t published = 0;  // tokens of the log it may read
  bool done = false;

 private:
  void Publish(bool last) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      published = log_.count;
      if (last) done = true;
    }
    changed.notify_all();
  }

  Allocator& allocator_;
  DictionaryLayout layout_;
  SplitPlan plan_;
  ArrayBlock live_;
  std::uint8_t* imageMemory_ = nullptr;
  ParserImage images_[kMaxSyncAttempts];
  std::size_t logStart_[kMaxSyncAttempts] = {};
  int taken_ = 0;
  TokenLog log_;
  BlockEncoder sink_;
  MatchFinder finder_;
};

}  // namespace

void SetSplitWarmUpForTesting(int windows) { gWarmUpWindows.store(windows, std::memory_order_relaxed); }

// Relative parse cost of a piece of kCostPiece bytes: a run of one byte
// value (padding, erased areas) is parsed many times faster than the rest.
constexpr std::size_t kCostPiece = 4096;
constexpr unsigned kRunPieceCost = 1;
constexpr unsigned kOtherPieceCost = 10;
// The calling thread's share of the block coding, per mille of the parse.
constexpr unsigned kCodingPerMille = 90;

unsigned PieceCost(const std::uint8_t* p, std::size_t n) {
  return n > 1 && std::memcmp(p, p + 1, n - 1) == 0 ? kRunPieceCost : kOtherPieceCost;
}

SplitPlan PlanSplit(const std::uint8_t* data, std::size_t size, int dictionaryBits) {
  SplitPlan plan;
  if (size < kSplitMinimumInput) return plan;
  const std::size_t d = std::size_t{1} << dictionaryBits;
  const std::size_t warmUp = static_cast<std::size_t>(WarmUpWindows()) * d;
  plan.window = d;
  // The first sync point: a multiple of D where the calling thread's parse
  // up to it, plus its coding of the blocks, costs about what the helper's
  // parse from W before it to the end does.
  std::uint64_t total = 0;
  for (std::size_t at = 0; at < size; at += kCostPiece) total += PieceCost(data + at, std::min(kCostPiece, size - at));
  std::uint64_t before = 0;  // cost of data[0..at)
  std::size_t sync = 0;
  for (std::size_t at = 0; at < size; at += kCostPiece) {
    const std::uint64_t mine = before * (1000 + kCodingPerMille) / 1000;
    const std::uint64_t warm = static_cast<std::uint64_t>(warmUp / kCostPiece) * kOtherPieceCost;
    if (mine >= total - before + warm) break;
    before += PieceCost(data + at, std::min(kCostPiece, size - at));
    sync = at + kCostPiece;
  }
  sync = std::max(sync / d * d, warmUp + 2 * d);
  // Every sync point far enough from the end to be met while input is taken.
  if (sync + 4 * d > size) return plan;
  plan.first = sync;
  plan.start = sync - warmUp;
  while (plan.attempts < kMaxSyncAttempts && plan.SyncOffset(plan.attempts) + 4 * d <= size) ++plan.attempts;
  return plan;
}

SplitOutcome ParseInTwoPieces(MatchFinder& finder, BlockEncoder& encoder, int dictionaryBits,
                              const std::uint8_t* data, std::size_t size, Allocator& allocator, int* comparisons) {
  *comparisons = 0;
  const SplitPlan plan = PlanSplit(data, size, dictionaryBits);
  if (plan.attempts == 0) return SplitOutcome::NotSplit;
  // No token takes more log units than the bytes it covers.
  Helper helper(allocator, dictionaryBits, plan, size - plan.first + 2);
  if (!helper.ok()) return SplitOutcome::NotSplit;
  std::thread thread;
  try {
    thread = std::thread([&] { helper.Run(dictionaryBits, data, size); });
  } catch (const std::system_error&) {
    return SplitOutcome::NotSplit;
  }

  // Parse to each sync point in turn until the state there is the one the
  // helper recorded. Should anything throw here, the helper is stopped and
  // joined before the error goes on.
  std::size_t taken = 0;
  bool adopted = false;
  try {
    finder.SetSyncPoint(static_cast<std::uint32_t>(plan.SyncOffset(0)), nullptr);
    taken = finder.PutBytes(data, size);
    for (int attempt = 0; finder.State() == ParserState::AtSync;) {
      std::unique_lock<std::mutex> lock(helper.mutex);
      helper.changed.wait(lock, [&] { return helper.imagesReady > attempt || helper.done; });
      const bool ready = helper.imagesReady > attempt;
      lock.unlock();
      if (ready) *comparisons = attempt + 1;
      if (ready && finder.Matches(helper.Image(attempt))) {
        adopted = true;
        std::size_t replayed = helper.LogStart(attempt);
        for (;;) {
          lock.lock();
          helper.changed.wait(lock, [&] { return helper.published > replayed || helper.done; });
          const std::size_t available = helper.published;
          const bool last = helper.done;
          lock.unlock();
          encoder.EmitLogged(helper.Units() + replayed, available - replayed);
          replayed = available;
          if (last) break;
        }
        finder.EndAfterSync(static_cast<std::uint32_t>(size));
        break;
      }
      if (!ready || ++attempt == plan.attempts) break;
      finder.SetSyncPoint(static_cast<std::uint32_t>(plan.SyncOffset(attempt)), nullptr);
      finder.ResumeFromSync();
      taken += finder.PutBytes(data + taken, size - taken);
    }
  } catch (...) {
    helper.cancel.store(true, std::memory_order_relaxed);
    thread.join();
    throw;
  }
  if (!adopted) helper.cancel.store(true, std::memory_order_relaxed);
  thread.join();
  if (adopted) return SplitOutcome::Adopted;
  finder.ResumeFromSync();
  finder.PutBytes(data + taken, size - taken);
  return SplitOutcome::ParsedHere;
}

}  // namespace mervix
