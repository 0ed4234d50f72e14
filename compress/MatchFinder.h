// The front half of the coder: an LZ77 parser over a sliding window with an
// exhaustive longest-match search, fed one byte at a time.
//
// ALGORITHM
// The dictionary is a trie of every string that starts in the last D input
// positions (a suffix trie with compressed edges, depth up to 256). Node
// numbers (16-bit):
//   0            no node (entry 0 of nodeParent is the search guard)
//   1 .. D-1     internal nodes (branch points), from a free list
//   D + c        root of the strings starting with byte c (c = 0..255)
//   D .. 2D-1    leaves: leaf p is the string at window position p
// Roots share numbers with leaves but never the same array: roots and
// internal nodes have BranchInfo, leaves and internal nodes have NodeLinks.
// The children of all nodes sit in doubly linked chains hanging from one
// hash table of S slots (S = slotEntries of DictionaryLayout):
//   slot(q, c) = (q + g(c)) mod S,   g(c) = (c * A) mod D,   A odd (~0.382 D)
// and chain number h(q, c) = 2D + slot(q, c). For a fixed q every c has its
// own slot (g is one-to-one on 0..255 since A is odd and D > 256, and its
// values are below D <= S, so no two meet modulo S), so a chain never holds
// two children of one parent and a child is recognised by its parent alone.
// The multiplier spreads the children of one parent, and the roots' children
// (whose c is skewed towards a few byte values), over the whole table, which
// keeps the chains short. Only the chain order and lengths depend on the
// slot function, never which child FindChild returns, so it has no effect on
// the matches found; the same holds for the descent of InsertString moving
// the children it finds to the front of their chains.
//
// The window holds D bytes of history, the current position curPos in
// [D, 2D) and up to 256 bytes of lookahead beyond it. When curPos reaches 2D
// the upper D + 256 bytes move down by D and the parser suspends until D new
// bytes have arrived (or the input ends). Positions stored in the trie are
// never renumbered: a stored p >= curPos stands for p - D, and distances are
// taken modulo D.
//
// Parsing is lazy by one position: the match found at a position is emitted
// only if the match at the next position is not longer; otherwise a literal
// is emitted and the decision moves on.
//
// Input arrives through PutByte or PutBytes, the end through Drain; the
// parser is a resumable procedure with the explicit states of ParserState.
//
// SYNC POINTS
// A parser may be given a sync point, an input offset: at the first top of
// the parse loop at or beyond it the parser either pauses (state AtSync,
// taking no input until ResumeFromSync) or hands itself to a callback and
// goes on. There its state can be recorded (TakeImage) and compared with
// another parser's (Matches): everything that decides the tokens still to
// come (window, parse cursor, leaves, and the depth, position and child
// count of every internal node, and its pending mark unless its parent is a
// root: there the mark has no effect beyond itself), regardless of node
// numbering and chain order. Two parsers of the same input in the same state emit the same
// tokens from there on; SplitParse builds on that.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>

#include "compress/BlockEncoder.h"
#include "compress/CoderInterfaces.h"

namespace mervix {

constexpr int kMaxMatch = 256;
constexpr int kMatchThreshold = 3;

// Per-node links: parent, and the backward and forward links of the node's
// child chain (the forward link of a free internal node is the next free
// node; that of a replaced leaf points to its replacement). Kept together
// because the trie walks read them together.
struct NodeLinks {
  std::int16_t parent;  // 0 = not in the trie
  std::int16_t prev;    // previous in the chain; the hash slot for the first
  std::int16_t next;    // next in the chain, 0 at the end
};

static_assert(sizeof(NodeLinks) == 6, "three 16-bit links per node");

// Per-branch data of internal nodes and roots, kept together likewise.
struct BranchInfo {
  std::uint16_t position;  // newest window position below; bit 15 = pending
  std::uint8_t depth;      // bytes common to all strings below (1 for roots)
  std::uint8_t children;   // number of children
};

static_assert(sizeof(BranchInfo) == 4, "position, depth and child count in 4 bytes");

// Array sizes of the dictionary for a dictionary of 2^bits bytes. Chain
// links and hash slots share one number space: numbers below 2D are nodes
// (links), numbers 2D and up are hash slots (slot heads).
struct DictionaryLayout {
  explicit DictionaryLayout(int bits)
      : size(1 << bits),
        windowBytes(2 * size + 256),
        branchEntries(size + 256),
        linkEntries(2 * size),
        slotEntries(size + (size / 512 + 1) * 255 + 1) {}
  int size;           // D
  int windowBytes;    // 2D + 256
  int branchEntries;  // internal nodes and roots: D + 256
  int linkEntries;    // internal nodes and leaves: 2D
  int slotEntries;    // hash slots 2D .. 3D + (D/512 + 1)*255
};

// The dictionary arrays, allocated and owned by ImageCompressor.
struct DictionaryArrays {
  std::uint8_t* window = nullptr;
  NodeLinks* links = nullptr;        // linkEntries
  std::int16_t* slotHeads = nullptr;  // slotEntries; entry k is slot 2D + k
  BranchInfo* branches = nullptr;    // branchEntries
};

// The state of a parser at the top of its parse loop that decides the tokens
// still to come, without node numbers: the window, the parse cursor, the
// parent of every node (leaves and internal nodes), the forward link of each
// replaced leaf, and the depth, position and child count of the internal
// nodes. The arrays live in memory the user provides (Bind).
struct ParserImage {
  // Bytes of memory for a dictionary of 2^bits bytes.
  static std::size_t BytesFor(int dictionaryBits);
  // Lays the arrays out in memory of BytesFor(dictionaryBits) bytes.
  void Bind(std::uint8_t* memory, int dictionaryBits);

  std::uint8_t* window = nullptr;     // windowBytes
  std::int16_t* parents = nullptr;    // linkEntries: parent of node n
  std::int16_t* forward = nullptr;    // D: forward link of replaced leaf D + i, else 0
  BranchInfo* branches = nullptr;     // branchEntries
  std::uint32_t windowBase = 0;
  std::uint16_t curPos = 0;
  std::int16_t lookahead = 0;
  std::uint16_t matchLen = 0;
  std::uint16_t matchPos = 0;
};

enum class ParserState : std::uint16_t {
  Filling = 0,    // first fill of the window
  Starting = 1,   // transient: start of parsing
  WaitMain = 2,   // suspended at a slide in the main step
  WaitSkip = 3,   // suspended at a slide while skipping a match
  DrainMain = 4,  // transient: WaitMain resumed by the end of input
  DrainSkip = 5,  // transient: WaitSkip resumed by the end of input
  AtSync = 6,     // paused at the sync point, until ResumeFromSync
  Done = 999,     // last block written
};

class MatchFinder {
 public:
  // Binds the arrays, the dictionary size (bits 9..13), the diagnostic level
  // (2 = a "." on the error sink per window fill), the block encoder that
  // takes the tokens and the sink.
  void Attach(const DictionaryArrays& arrays, int dictionaryBits, int verbosity, BlockEncoder* encoder,
              DiagnosticSink* diagnostics);

  // Prepares the trie and the parser for a new stream (state Filling).
  void InitDictionary();

  // Takes the next input byte; runs the parser when the window is full.
  // The fast path only stores the byte: [fillNext_, fillEnd_) is the part of
  // the window still to be filled while the parser waits for input (states
  // Filling, WaitMain, WaitSkip) and empty (both null) in every other state,
  // so after Done no byte is taken.
  void PutByte(std::uint8_t b) {
    std::uint8_t* next = fillNext_;
    if (next == fillEnd_) return;
    *next++ = b;
    fillNext_ = next;
    if (next == fillEnd_) WindowFilled();
  }

  // Takes up to n input bytes as n PutByte calls would, a window fill at a
  // time; returns how many it took: all n, unless the parser paused at its
  // sync point (AtSync) or is Done.
  std::size_t PutBytes(const std::uint8_t* bytes, std::size_t n);

  // Ends the input: parses what is left and writes the last block. Must not
  // be called when no byte was fed.
  void Drain();

  // Input offset of the stream's first byte (default 0): positions handed to
  // SetSyncPoint count from the start of the whole input. Call after
  // InitDictionary, before the first byte.
  void SetStreamOffset(std::uint32_t offset) { windowBase_ = offset; }

  // What happens at the sync point.
  class SyncCallback {
   public:
    virtual ~SyncCallback() = default;
    // The parser is at the top of its loop, its state in its members.
    // It may arm the next sync point.
    virtual void AtSyncPoint(MatchFinder& finder) = 0;
  };
  // Arms the sync point at input offset `offset`: with a null callback the
  // parser pauses there, otherwise it calls back and goes on. Fires once.
  void SetSyncPoint(std::uint32_t offset, SyncCallback* callback) {
    syncOffset_ = offset;
    syncArmed_ = true;
    syncCallback_ = callback;
  }
  // Leaves AtSync and parses on as far as the input taken allows.
  void ResumeFromSync();
  // Ends a stream whose tokens beyond the sync point were emitted by someone
  // else: state Done with `bytesIn` input bytes, and the last block written.
  void EndAfterSync(std::uint32_t bytesIn);

  // Records the state at the top of the parse loop in *image (bound to a
  // dictionary of this parser's size).
  void TakeImage(ParserImage* image) const;
  // True when the state at the top of the parse loop is the one recorded in
  // image, in the sense above.
  bool Matches(const ParserImage& image) const;
  // Input offset of the current position.
  std::uint32_t InputOffset() const { return windowBase_ + static_cast<std::uint32_t>(curPos_ - dictSize_); }

  ParserState State() const { return state_; }
  std::uint32_t BytesIn() const { return bytesIn_; }
  // Bytes from the current position on (while Filling: bytes taken so far).
  int Lookahead() const {
    if (state_ == ParserState::Filling && fillNext_ != nullptr) {
      return static_cast<int>(fillNext_ - (a_.window + dictSize_));
    }
    return lookahead_;
  }

  // The trie operations, public for the unit tests.

  // The child of q whose edge begins with byte c, or 0.
  int FindChild(int q, int c) {
    const NodeLinks* links = a_.links;
    int r = a_.slotHeads[Slot(q, c)];
    a_.links[0].parent = static_cast<std::int16_t>(q);  // guard: stops at 0
    while (links[r].parent != q) r = links[r].next;
    return r;
  }
  // FindChild, and a child found behind other entries of its chain moves to
  // the front, where the next search for it (likely soon) ends at once.
  // *slotOut receives the chain's slot, for an AttachChildAt when none is
  // found.
  int FindChildToFront(int q, int c, int* slotOut) {
    NodeLinks* links = a_.links;
    const int slot = Slot(q, c);
    *slotOut = slot;
    const int head = a_.slotHeads[slot];
    a_.links[0].parent = static_cast<std::int16_t>(q);  // guard: stops at 0
    if (links[head].parent == q) return head;
    int r = links[head].next;
    while (links[r].parent != q) r = links[r].next;
    if (r != 0) {
      const int before = links[r].prev;  // a node: r is not the head
      const int after = links[r].next;
      links[before].next = static_cast<std::int16_t>(after);
      links[after].prev = static_cast<std::int16_t>(before);  // after = 0: the guard entry
      links[r].next = static_cast<std::int16_t>(head);
      links[head].prev = static_cast<std::int16_t>(r);
      links[r].prev = static_cast<std::int16_t>(slot + 2 * dictSize_);
      a_.slotHeads[slot] = static_cast<std::int16_t>(r);
    }
    return r;
  }
  // Makes r a child of q under byte c, at the front of its chain.
  void AttachChild(int q, int c, int r) { AttachChildAt(Slot(q, c), q, r); }
  // The same with the chain's slot already known.
  void AttachChildAt(int slot, int q, int r);
  // Inserts a new internal node of depth len (< 256) above old, where the
  // string at pos leaves old's edge; mpos is a string below old.
  void SplitNode(int old, int pos, int len, int mpos);
  // Inserts leaf curPos; sets matchLen/matchPos to the longest match.
  void InsertString();
  // Removes leaf curPos (the string that has left the dictionary).
  void RemoveString();

  int CurPos() const { return curPos_; }
  int MatchLen() const { return matchLen_; }
  int MatchPos() const { return matchPos_; }

 private:
  // Where a suspended parse continues.
  enum class ResumePoint { LoopTop, AfterMain, AfterSkip };

  // The longest match of a position: length and window position.
  struct Match {
    int len;
    int pos;
  };
  // The parser's state while it runs (see Parse); the members hold it while
  // the parser is suspended.
  struct Cursor {
    int pos;      // curPos
    int ahead;    // lookahead
    Match match;  // at pos
    int prevLen;  // at pos - 1, then the bytes of the emitted match still to skip
    int prevPos;
  };

  // AttachChildAt and SplitNode, inlined into the parse loop.
  void LinkChild(int slot, int q, int r);
  void SplitEdge(int old, int pos, int len, int mpos);
  // InsertString and RemoveString on explicit state: inserts leaf pos given
  // the match of pos - 1 (its length, as matchLen, decides whether the walk
  // starts below the root) and returns the match of pos; removes leaf pos.
  Match InsertAt(int pos, Match previous);
  void RemoveAt(int pos);

  // Index into slotHeads of the chain for child byte c of q (q < D + 256).
  // q + g(c) < 2D + 256 < 2S, so one conditional subtraction is the modulo.
  int Slot(int q, int c) const {
    int t = q + ((c * hashMultiplier_) & (dictSize_ - 1));
    if (t >= slotCount_) t -= slotCount_;
    return t;
  }
  // The forward link of a node, or the head of a hash slot, by chain number
  // (t < 2D a node, else a slot). Chosen without a branch: whether the
  // predecessor in a chain is a node or the slot is data-dependent, and a
  // branch on it is mispredicted about as often as not.
  std::int16_t* NextField(int t) const {
    // Both candidate addresses are computed as integers (the one not taken
    // may lie outside its array) and one is picked with a mask (the compiler
    // turns ?: into a branch here).
    const std::uintptr_t node =
        reinterpret_cast<std::uintptr_t>(a_.links) + static_cast<std::uintptr_t>(t) * sizeof(NodeLinks) +
        offsetof(NodeLinks, next);
    const std::uintptr_t slot = reinterpret_cast<std::uintptr_t>(a_.slotHeads) +
                                static_cast<std::uintptr_t>(t - 2 * dictSize_) * sizeof(std::int16_t);
    const std::uintptr_t nodeMask = 0 - static_cast<std::uintptr_t>(t < 2 * dictSize_);
    return reinterpret_cast<std::int16_t*>(slot ^ ((node ^ slot) & nodeMask));
  }
  void SetNext(int t, int v) { *NextField(t) = static_cast<std::int16_t>(v); }
  // The window part that PutByte fills next: from the current lookahead on
  // while Filling, the refill area above the moved bytes after a slide.
  void ExpectFirstFill();
  void ExpectRefill();
  // Turns the bytes PutByte stored into lookahead_ (Filling) or refillCount_
  // (WaitMain, WaitSkip) and stops taking input until the parser asks again.
  void CountStoredBytes();
  // PutByte filled the window: parse as far as the input allows.
  void WindowFilled();
  // One step forward; false when the window slid and the parser must wait
  // for the refill before RemoveString/InsertString.
  bool Advance(Cursor& c);
  void LoadCursor(Cursor& c) const;
  void StoreCursor(const Cursor& c);
  // The bookkeeping of a refill, then the deferred trie step.
  void ResumeAfterSlide();
  void ProgressMark();
  // The window index at which the armed sync point fires in the current
  // window cycle (INT_MAX when not armed or not yet in this cycle).
  int SyncIndex() const;
  // The sync point is reached at the top of the loop: true to pause there.
  bool ReachSync(const Cursor& c);
  // Runs the parser from the current state until it suspends or is done.
  void Run();
  void Parse(ResumePoint from);

  DictionaryArrays a_;
  BlockEncoder* encoder_ = nullptr;
  DiagnosticSink* diagnostics_ = nullptr;
  int dictSize_ = 8192;
  int slotCount_ = 0;       // S
  int windowBytes_ = 0;     // 2D + 256
  int hashMultiplier_ = 1;  // A
  int verbosity_ = 0;

  ParserState state_ = ParserState::Filling;
  std::uint16_t curPos_ = 0;
  std::int16_t lookahead_ = 0;
  std::uint16_t matchLen_ = 0;
  std::uint16_t matchPos_ = 0;
  std::int16_t prevMatchLen_ = 0;
  std::uint16_t prevMatchPos_ = 0;
  std::uint16_t refillCount_ = 0;
  std::int16_t freeNode_ = 1;
  std::uint32_t bytesIn_ = 0;
  std::uint8_t* fillNext_ = nullptr;
  std::uint8_t* fillEnd_ = nullptr;
  // Input offset of window index D in the current window cycle.
  std::uint32_t windowBase_ = 0;
  std::uint32_t syncOffset_ = 0;
  bool syncArmed_ = false;
  SyncCallback* syncCallback_ = nullptr;
  ParserState syncResume_ = ParserState::Filling;  // the state AtSync interrupted
};

}  // namespace mervix
