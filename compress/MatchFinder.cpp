#include "compress/MatchFinder.h"

#include "compress/BitScan.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace mervix {

namespace {
constexpr std::uint16_t kPending = 0x8000;  // nodePosition: ancestors not yet updated
constexpr std::uint16_t kPositionMask = 0x7FFF;

// A stored position p >= cur is from the previous cycle and stands for
// p - d. Computed with a mask: the compiler makes a branch of the plain
// comparison, and it is mispredicted often.
inline int Unwrap(int p, int cur, int d) { return p - (d & -static_cast<int>(p >= cur)); }

// n when it is an internal node (n < d), else 0, the unused branch entry;
// by mask for the same reason.
inline int InternalOrZero(int n, int d) { return n & -static_cast<int>(n < d); }

// The first i in [from, limit) with a[i] != b[i], or limit when the strings
// agree there. Compares 8 bytes at a time while a[i..i+7] and b[i..i+7] lie
// within the first `readable` bytes from a and from b, byte by byte beyond;
// bytes loaded past limit do not affect the result.
inline int FirstDifference(const std::uint8_t* a, const std::uint8_t* b, int from, int limit, int readable) {
  int i = from;
  while (i < limit) {
    if (i + 8 <= readable) {
      std::uint64_t x;
      std::uint64_t y;
      std::memcpy(&x, a + i, 8);
      std::memcpy(&y, b + i, 8);
      const std::uint64_t diff = x ^ y;
      if (diff != 0) {
        // The lowest differing byte is the first in memory on a
        // little-endian machine, the highest on a big-endian one.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        const int k = i + (LeadingZeros64(diff) >> 3);
#else
        const int k = i + (TrailingZeros64(diff) >> 3);
#endif
        return k < limit ? k : limit;
      }
      i += 8;
    } else {
      if (a[i] != b[i]) return i;
      ++i;
    }
  }
  return limit;
}
}  // namespace

void MatchFinder::Attach(const DictionaryArrays& arrays, int dictionaryBits, int verbosity,
                         BlockEncoder* encoder, DiagnosticSink* diagnostics) {
  a_ = arrays;
  dictSize_ = 1 << dictionaryBits;
  slotCount_ = DictionaryLayout(dictionaryBits).slotEntries;
  windowBytes_ = DictionaryLayout(dictionaryBits).windowBytes;
  hashMultiplier_ = ((dictSize_ * 3129) >> 13) | 1;  // odd, about 0.382 D
  verbosity_ = verbosity;
  encoder_ = encoder;
  diagnostics_ = diagnostics;
}

void MatchFinder::InitDictionary() {
  const int d = dictSize_;
  for (int i = d; i < d + 256; ++i) {
    a_.branches[i].depth = 1;
    a_.branches[i].position = 0;
  }
  for (int i = d; i < 2 * d; ++i) a_.links[i].parent = 0;
  // Free list of internal nodes 1, 2, ..., D-1, linked through next.
  freeNode_ = 1;
  for (int i = 1; i < d - 1; ++i) a_.links[i].next = static_cast<std::int16_t>(i + 1);
  a_.links[d - 1].next = 0;
  // All hash slots empty.
  for (int i = 0; i < slotCount_; ++i) a_.slotHeads[i] = 0;

  state_ = ParserState::Filling;
  curPos_ = 0;
  lookahead_ = 0;
  matchLen_ = 0;
  matchPos_ = 0;
  prevMatchLen_ = 0;
  prevMatchPos_ = 0;
  refillCount_ = 0;
  bytesIn_ = 0;
  windowBase_ = 0;
  syncArmed_ = false;
  syncCallback_ = nullptr;
  ExpectFirstFill();
}

std::size_t MatchFinder::PutBytes(const std::uint8_t* bytes, std::size_t n) {
  std::size_t taken = 0;
  // Outside the states that take input both pointers are null.
  while (taken < n && fillNext_ != fillEnd_) {
    const std::size_t k = std::min(static_cast<std::size_t>(fillEnd_ - fillNext_), n - taken);
    std::memcpy(fillNext_, bytes + taken, k);
    fillNext_ += k;
    taken += k;
    if (fillNext_ == fillEnd_) WindowFilled();
  }
  return taken;
}

int MatchFinder::SyncIndex() const {
  if (!syncArmed_) return INT_MAX;
  // Passed already (a match ran across the slide): the first top of the loop.
  if (syncOffset_ < windowBase_) return dictSize_;
  const std::uint32_t ahead = syncOffset_ - windowBase_;
  return ahead < static_cast<std::uint32_t>(dictSize_) ? dictSize_ + static_cast<int>(ahead) : INT_MAX;
}

bool MatchFinder::ReachSync(const Cursor& c) {
  StoreCursor(c);
  syncArmed_ = false;
  if (syncCallback_ != nullptr) {
    syncCallback_->AtSyncPoint(*this);
    return false;
  }
  syncResume_ = state_;
  state_ = ParserState::AtSync;
  return true;
}

void MatchFinder::ResumeFromSync() {
  if (state_ != ParserState::AtSync) return;
  state_ = syncResume_;
  Parse(ResumePoint::LoopTop);
}

void MatchFinder::EndAfterSync(std::uint32_t bytesIn) {
  state_ = ParserState::Done;
  bytesIn_ = bytesIn;
  lookahead_ = 0;
  fillNext_ = nullptr;
  fillEnd_ = nullptr;
  encoder_->EndBlocks();
}

std::size_t ParserImage::BytesFor(int dictionaryBits) {
  const DictionaryLayout layout(dictionaryBits);
  const auto round = [](std::size_t n) { return (n + 15) & ~std::size_t{15}; };
  return round(static_cast<std::size_t>(layout.windowBytes)) +
         round(static_cast<std::size_t>(layout.linkEntries) * 2) + round(static_cast<std::size_t>(layout.size) * 2) +
         round(static_cast<std::size_t>(layout.branchEntries) * sizeof(BranchInfo));
}

void ParserImage::Bind(std::uint8_t* memory, int dictionaryBits) {
  const DictionaryLayout layout(dictionaryBits);
  const auto round = [](std::size_t n) { return (n + 15) & ~std::size_t{15}; };
  window = memory;
  memory += round(static_cast<std::size_t>(layout.windowBytes));
  parents = reinterpret_cast<std::int16_t*>(memory);
  memory += round(static_cast<std::size_t>(layout.linkEntries) * 2);
  forward = reinterpret_cast<std::int16_t*>(memory);
  memory += round(static_cast<std::size_t>(layout.size) * 2);
  branches = reinterpret_cast<BranchInfo*>(memory);
}

void MatchFinder::TakeImage(ParserImage* image) const {
  const int d = dictSize_;
  image->windowBase = windowBase_;
  image->curPos = curPos_;
  image->lookahead = lookahead_;
  image->matchLen = matchLen_;
  image->matchPos = matchPos_;
  std::memcpy(image->window, a_.window, static_cast<std::size_t>(windowBytes_));
  for (int n = 0; n < 2 * d; ++n) image->parents[n] = a_.links[n].parent;
  // A leaf out of the trie: replaced (its forward link is read by the walk
  // of InsertAt) or not in the window (never read).
  for (int p = d; p < 2 * d; ++p) image->forward[p - d] = a_.links[p].parent == 0 ? a_.links[p].next : 0;
  std::memcpy(image->branches, a_.branches, static_cast<std::size_t>(d + 256) * sizeof(BranchInfo));
}

bool MatchFinder::Matches(const ParserImage& o) const {
  if (windowBase_ != o.windowBase || curPos_ != o.curPos || lookahead_ != o.lookahead || matchLen_ != o.matchLen ||
      matchPos_ != o.matchPos) {
    return false;
  }
  if (std::memcmp(a_.window, o.window, static_cast<std::size_t>(windowBytes_)) != 0) return false;
  const int d = dictSize_;
  const NodeLinks* links = a_.links;
  const BranchInfo* ba = a_.branches;
  const BranchInfo* bb = o.branches;
  // Internal nodes are paired through the leaves below them: the k-th
  // ancestor of a leaf here must be the k-th ancestor of the same leaf
  // there, with the same depth, position and child count, and the pairing
  // must be one to one. The pending bit must be the same too, except on a
  // child of a root: there it only ever decides whether the update goes on
  // to the root, and an update of a root goes to the unused entry 0 (the
  // node's own position comes out the same either way), so it has no effect
  // but on itself.
  std::vector<std::int16_t> toOther(static_cast<std::size_t>(d), 0);
  std::vector<std::int16_t> fromOther(static_cast<std::size_t>(d), 0);
  for (int p = d; p < 2 * d; ++p) {
    int n = links[p].parent;
    int m = o.parents[p];
    if ((n == 0) != (m == 0)) return false;
    if (n == 0) {
      if (links[p].next != o.forward[p - d]) return false;
      continue;
    }
    while (n < d) {
      if (m >= d) return false;
      if (toOther[n] != 0 || fromOther[m] != 0) {
        if (toOther[n] != m || fromOther[m] != n) return false;
        break;
      }
      const int up = links[n].parent;
      const unsigned compared = up >= d ? kPositionMask : 0xFFFFu;
      if (ba[n].depth != bb[m].depth || ((ba[n].position ^ bb[m].position) & compared) != 0 ||
          ba[n].children != bb[m].children) {
        return false;
      }
      toOther[n] = static_cast<std::int16_t>(m);
      fromOther[m] = static_cast<std::int16_t>(n);
      n = up;
      m = o.parents[m];
    }
    // Both walks end at the same root (or at a pair matched before).
    if (n >= d && n != m) return false;
  }
  return true;
}

void MatchFinder::ExpectFirstFill() {
  fillNext_ = a_.window + dictSize_ + lookahead_;
  fillEnd_ = a_.window + 2 * dictSize_ + kMaxMatch;
}

void MatchFinder::ExpectRefill() {
  fillNext_ = a_.window + dictSize_ + kMaxMatch + refillCount_;
  fillEnd_ = a_.window + 2 * dictSize_ + kMaxMatch;
}

void MatchFinder::CountStoredBytes() {
  if (fillNext_ == nullptr) return;
  if (state_ == ParserState::Filling) {
    lookahead_ = static_cast<std::int16_t>(fillNext_ - (a_.window + dictSize_));
  } else if (state_ == ParserState::WaitMain || state_ == ParserState::WaitSkip) {
    refillCount_ = static_cast<std::uint16_t>(fillNext_ - (a_.window + dictSize_ + kMaxMatch));
  }
  fillNext_ = nullptr;
  fillEnd_ = nullptr;
}

void MatchFinder::WindowFilled() {
  CountStoredBytes();
  if (state_ == ParserState::Filling) state_ = ParserState::Starting;
  Run();
}

[[gnu::always_inline]] inline void MatchFinder::LinkChild(int slot, int q, int r) {
  const int h = slot + 2 * dictSize_;
  std::int16_t& head = a_.slotHeads[slot];
  const int t = head;
  head = static_cast<std::int16_t>(r);
  NodeLinks& node = a_.links[r];
  node.next = static_cast<std::int16_t>(t);
  a_.links[t].prev = static_cast<std::int16_t>(r);  // t = 0: harmless write to the guard entry
  node.prev = static_cast<std::int16_t>(h);
  node.parent = static_cast<std::int16_t>(q);
  a_.branches[q].children += 1;
}

[[gnu::always_inline]] inline void MatchFinder::SplitEdge(int old, int pos, int len, int mpos) {
  NodeLinks* links = a_.links;
  const int fresh = freeNode_;
  freeNode_ = links[fresh].next;
  a_.branches[fresh].children = 0;
  // The new node takes old's place in old's chain.
  int t = links[old].prev;
  links[fresh].prev = static_cast<std::int16_t>(t);
  SetNext(t, fresh);
  t = links[old].next;
  links[fresh].next = static_cast<std::int16_t>(t);
  links[t].prev = static_cast<std::int16_t>(fresh);
  links[fresh].parent = links[old].parent;
  a_.branches[fresh].depth = static_cast<std::uint8_t>(len);
  a_.branches[fresh].position = static_cast<std::uint16_t>(pos);
  LinkChild(Slot(fresh, a_.window[mpos + len]), fresh, old);
  LinkChild(Slot(fresh, a_.window[pos + len]), fresh, pos);
}

void MatchFinder::AttachChildAt(int slot, int q, int r) { LinkChild(slot, q, r); }

void MatchFinder::SplitNode(int old, int pos, int len, int mpos) { SplitEdge(old, pos, len, mpos); }

[[gnu::always_inline]] inline MatchFinder::Match MatchFinder::InsertAt(int pos, Match previous) {
  const int d = dictSize_;
  const std::uint8_t* window = a_.window;
  NodeLinks* links = a_.links;
  BranchInfo* branches = a_.branches;
  int len = previous.len;
  int q = 0;
  int r = 0;
  if (len >= 4) {
    // The previous position matched len bytes at matchPos, so this one
    // matches at least len - 1 bytes at matchPos + 1: start from the node of
    // that depth instead of from the root.
    len -= 1;
    r = (previous.pos + 1) | d;
    // A leaf replaced by a full-length match points to its replacement.
    while ((q = links[r].parent) == 0) r = links[r].next;
    while (branches[q].depth >= len) {
      r = q;
      q = links[q].parent;
    }
    // Carry the pending newer positions up to q's ancestors lazily.
    int t = q;
    while (branches[t].position & kPending) {
      branches[t].position = static_cast<std::uint16_t>(pos);
      t = links[t].parent;
    }
    // Unless t is a root (whose position is never used); then the store goes
    // to the unused branch entry 0 instead, which saves a branch.
    branches[InternalOrZero(t, d)].position = static_cast<std::uint16_t>(pos | kPending);
  } else {
    q = d + window[pos];
    const int c = window[pos + 1];
    int slot;
    r = FindChildToFront(q, c, &slot);
    if (r == 0) {
      LinkChild(slot, q, pos);
      return {1, previous.pos};
    }
    len = 2;
  }

  const std::uint8_t* cur = window + pos;
  // Bytes that may be loaded from cur (and from any earlier string).
  const int readable = windowBytes_ - pos;
  int mpos = 0;
  for (;;) {
    // Descend into r: compare the edge's bytes beyond those already known.
    int limit;
    if (r >= d) {
      limit = kMaxMatch;
      mpos = r;
    } else {
      limit = branches[r].depth;
      mpos = branches[r].position & kPositionMask;
    }
    mpos = Unwrap(mpos, pos, d);
    // Often nothing is left to compare: the edge ends right after the byte
    // by which it was found.
    if (len < limit) {
      len = FirstDifference(cur, window + mpos, len, limit, readable);
      if (len < limit) {
        SplitEdge(r, pos, len, mpos);
        return {len, mpos};
      }
    }
    if (len >= kMaxMatch) break;
    branches[r].position = static_cast<std::uint16_t>(pos);
    q = r;
    int slot;
    r = FindChildToFront(q, cur[len], &slot);
    if (r == 0) {
      LinkChild(slot, q, pos);
      return {len, mpos};
    }
    len += 1;
  }
  // A full-length match: the new leaf curPos takes the place of leaf r, and
  // r keeps a forward link to it (see the walk at the top).
  NodeLinks& leaf = links[pos];
  int t = links[r].prev;
  leaf.prev = static_cast<std::int16_t>(t);
  SetNext(t, pos);
  t = links[r].next;
  leaf.next = static_cast<std::int16_t>(t);
  links[t].prev = static_cast<std::int16_t>(pos);
  leaf.parent = static_cast<std::int16_t>(q);
  links[r].parent = 0;
  links[r].next = static_cast<std::int16_t>(pos);
  return {len, mpos};
}

void MatchFinder::InsertString() {
  const Match m = InsertAt(curPos_, {matchLen_, matchPos_});
  matchLen_ = static_cast<std::uint16_t>(m.len);
  matchPos_ = static_cast<std::uint16_t>(m.pos);
}

[[gnu::always_inline]] inline void MatchFinder::RemoveAt(int cur) {
  const int d = dictSize_;
  NodeLinks* links = a_.links;
  BranchInfo* branches = a_.branches;
  if (links[cur].parent == 0) return;
  int r = links[cur].prev;
  int s = links[cur].next;
  SetNext(r, s);
  links[s].prev = static_cast<std::int16_t>(r);
  r = links[cur].parent;
  links[cur].parent = 0;
  if (r >= d) return;  // a root keeps any number of children
  branches[r].children -= 1;
  if (branches[r].children > 1) return;

  // r has one child left and is removed; first hand its newest position to
  // the ancestors that still wait for an update.
  int t = Unwrap(branches[r].position & kPositionMask, cur, d);
  s = t;
  int q = links[r].parent;
  int u = branches[q].position;
  while (u & kPending) {
    s = std::max(s, Unwrap(u & kPositionMask, cur, d));
    branches[q].position = static_cast<std::uint16_t>(s | d);
    q = links[q].parent;
    u = branches[q].position;
  }
  // Unless q is a root (see InsertAt: the store then goes to entry 0).
  s = std::max(s, Unwrap(u, cur, d));
  branches[InternalOrZero(q, d)].position = static_cast<std::uint16_t>(s | d | kPending);
  // The remaining child s replaces r in r's chain.
  s = FindChild(r, a_.window[t + branches[r].depth]);
  t = links[s].prev;
  u = links[s].next;
  SetNext(t, u);
  links[u].prev = static_cast<std::int16_t>(t);
  t = links[r].prev;
  SetNext(t, s);
  links[s].prev = static_cast<std::int16_t>(t);
  t = links[r].next;
  links[t].prev = static_cast<std::int16_t>(s);
  links[s].next = static_cast<std::int16_t>(t);
  links[s].parent = links[r].parent;
  links[r].parent = 0;
  links[r].next = freeNode_;
  freeNode_ = static_cast<std::int16_t>(r);
}

void MatchFinder::RemoveString() { RemoveAt(curPos_); }

[[gnu::always_inline]] inline bool MatchFinder::Advance(Cursor& c) {
  c.ahead -= 1;
  c.pos += 1;
  if (c.pos == 2 * dictSize_) {
    // Slide: the last D bytes of history and the 256 bytes of lookahead move
    // down by D (the areas overlap); the refill then goes above them.
    std::memmove(a_.window, a_.window + dictSize_, static_cast<std::size_t>(dictSize_ + kMaxMatch));
    return false;
  }
  RemoveAt(c.pos);
  c.match = InsertAt(c.pos, c.match);
  return true;
}

void MatchFinder::LoadCursor(Cursor& c) const {
  c.pos = curPos_;
  c.ahead = lookahead_;
  c.match = {matchLen_, matchPos_};
  c.prevLen = prevMatchLen_;
  c.prevPos = prevMatchPos_;
}

void MatchFinder::StoreCursor(const Cursor& c) {
  curPos_ = static_cast<std::uint16_t>(c.pos);
  lookahead_ = static_cast<std::int16_t>(c.ahead);
  matchLen_ = static_cast<std::uint16_t>(c.match.len);
  matchPos_ = static_cast<std::uint16_t>(c.match.pos);
  prevMatchLen_ = static_cast<std::int16_t>(c.prevLen);
  prevMatchPos_ = static_cast<std::uint16_t>(c.prevPos);
}

void MatchFinder::ResumeAfterSlide() {
  lookahead_ = static_cast<std::int16_t>(lookahead_ + refillCount_);
  bytesIn_ += refillCount_;
  refillCount_ = 0;
  curPos_ = static_cast<std::uint16_t>(dictSize_);
  windowBase_ += static_cast<std::uint32_t>(dictSize_);
  ProgressMark();
  RemoveString();
  InsertString();
}

void MatchFinder::ProgressMark() {
  if (verbosity_ == 2 && diagnostics_ != nullptr) diagnostics_->WriteError(".");
}

void MatchFinder::Drain() {
  while (state_ != ParserState::Done) {
    CountStoredBytes();
    switch (state_) {
      case ParserState::Filling:
        state_ = ParserState::Starting;
        break;
      case ParserState::WaitMain:
        state_ = ParserState::DrainMain;
        break;
      case ParserState::WaitSkip:
        state_ = ParserState::DrainSkip;
        break;
      default:
        return;  // not reachable from the states above
    }
    Run();
  }
}

void MatchFinder::Run() {
  switch (state_) {
    case ParserState::Starting:
      bytesIn_ += static_cast<std::uint32_t>(lookahead_);
      matchLen_ = 0;
      curPos_ = static_cast<std::uint16_t>(dictSize_);
      ProgressMark();
      InsertString();
      if (matchLen_ > lookahead_) matchLen_ = static_cast<std::uint16_t>(lookahead_);
      Parse(ResumePoint::LoopTop);
      break;
    case ParserState::WaitMain:
    case ParserState::DrainMain:
      ResumeAfterSlide();
      Parse(ResumePoint::AfterMain);
      break;
    case ParserState::WaitSkip:
    case ParserState::DrainSkip:
      ResumeAfterSlide();
      Parse(ResumePoint::AfterSkip);
      break;
    default:
      break;
  }
}

void MatchFinder::Parse(ResumePoint from) {
  const int mask = dictSize_ - 1;
  // The state is kept in locals while parsing (the stores into the trie and
  // the block buffer could alias the members and force reloads) and goes
  // back into the members when the parser suspends or ends. The members'
  // widths are kept by the casts where a value could leave them.
  Cursor c;
  LoadCursor(c);
  int syncIndex = SyncIndex();
  for (;;) {
    if (from == ResumePoint::LoopTop) {
      if (c.ahead <= 0) {
        StoreCursor(c);
        encoder_->EndBlocks();
        state_ = ParserState::Done;
        return;
      }
      if (c.pos >= syncIndex) {
        if (ReachSync(c)) return;
        syncIndex = SyncIndex();  // armed again by the callback, or INT_MAX
      }
      c.prevLen = static_cast<std::int16_t>(c.match.len);
      c.prevPos = c.match.pos;
      if (!Advance(c)) {
        StoreCursor(c);
        state_ = ParserState::WaitMain;
        ExpectRefill();
        return;
      }
      from = ResumePoint::AfterMain;
    }
    if (from == ResumePoint::AfterMain) {
      // A match never reaches beyond the input.
      if (c.match.len > c.ahead) c.match.len = static_cast<std::uint16_t>(c.ahead);
      if (c.match.len > c.prevLen || c.prevLen < kMatchThreshold) {
        encoder_->EmitToken(a_.window[c.pos - 1], 0);
        from = ResumePoint::LoopTop;
        continue;
      }
      // The match one position back is at least as long: emit it.
      encoder_->EmitToken(static_cast<std::uint16_t>(c.prevLen + 253),
                          static_cast<std::uint16_t>((c.pos - c.prevPos - 2) & mask));
      c.prevLen -= 1;
    } else if (from == ResumePoint::AfterSkip) {
      c.prevLen -= 1;
    }
    // Skip the rest of the emitted match, inserting every position.
    while (c.prevLen > 0) {
      if (!Advance(c)) {
        StoreCursor(c);
        state_ = ParserState::WaitSkip;
        ExpectRefill();
        return;
      }
      c.prevLen -= 1;
    }
    if (c.match.len > c.ahead) c.match.len = static_cast<std::uint16_t>(c.ahead);
    from = ResumePoint::LoopTop;
  }
}

}  // namespace mervix
