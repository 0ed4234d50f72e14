// Builds a length-limited canonical Huffman code for one alphabet of a block.
//
// The tie-breaking is part of the output format: two builders that break ties
// differently produce different (equally valid) streams, and the coder must
// reproduce its streams bit for bit. So the order of every step is fixed:
//   - symbols enter the heap in increasing order, the heap is built bottom-up;
//   - SiftDown prefers the left child on equal weights and leaves the moving
//     entry above children of equal weight;
//   - each merge takes the smallest node as left child, the next smallest as
//     right child, and numbers the new node n, n+1, ...;
//   - leaves are listed in the order they leave the heap, and the first ones
//     listed receive the longest codes;
//   - codes are canonical: by length, then by symbol number.
#pragma once

#include <cstdint>

namespace mervix {

constexpr int kMaxHuffmanCodeLength = 16;

// The builder's working storage. heap has room for n + 1 entries and the
// child arrays for 2n - 1 entries (indices n..2n-2 are used), n being the
// largest alphabet (510). The arrays belong to the caller.
struct HuffmanWorkspace {
  std::int16_t* heap = nullptr;
  std::int16_t* leftChild = nullptr;
  std::int16_t* rightChild = nullptr;
  std::int16_t heapSize = 0;
  std::uint16_t lenCount[kMaxHuffmanCodeLength + 1] = {};
  std::int16_t treeDepth = 0;
};

// Builds the code for symbols 0..n-1 with counts freq[0..n-1].
//
// freq must have 2n - 1 entries: entries n.. receive the weights of the tree
// nodes. Weights are 16-bit and must not overflow (a block has fewer than
// 65536 tokens). On return len[i] is the code length of symbol i (0 when
// unused) and code[i] its code, at most 16 bits. code also needs n entries.
//
// Returns the root: a node >= n when two or more symbols occur (then
// freq[root] is the total count); otherwise the only symbol, or 0 when none
// occurs. A code of a single symbol has length 0 and code 0.
int BuildHuffmanCode(HuffmanWorkspace* ws, int n, std::uint16_t* freq, std::uint8_t* len,
                     std::uint16_t* code);

// Restores the heap property below heap position i (1-based) by moving the
// entry at i down; weights are freq[node].
void SiftDown(HuffmanWorkspace* ws, const std::uint16_t* freq, int i);

// Adds every leaf (node < n) below node to lenCount at its depth, depths
// above 16 counted as 16. treeDepth must hold node's depth.
void CountLeafDepths(HuffmanWorkspace* ws, int n, int node);

// Turns lenCount (which may count leaves deeper than 16 as 16) into counts
// of a complete code with no length above 16, moving the fewest leaves.
void LimitCodeLengths(HuffmanWorkspace* ws);

}  // namespace mervix
