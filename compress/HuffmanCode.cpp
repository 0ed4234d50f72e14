#include "compress/HuffmanCode.h"

namespace mervix {

void SiftDown(HuffmanWorkspace* ws, const std::uint16_t* freq, int i) {
  std::int16_t* heap = ws->heap;
  const int size = ws->heapSize;
  const std::int16_t k = heap[i];
  while (2 * i <= size) {
    int j = 2 * i;
    // The right child only when it is strictly lighter.
    if (j < size && freq[heap[j]] > freq[heap[j + 1]]) j += 1;
    // Stop at a child of equal weight: the moving entry stays above it.
    if (freq[k] <= freq[heap[j]]) break;
    heap[i] = heap[j];
    i = j;
  }
  heap[i] = k;
}

void CountLeafDepths(HuffmanWorkspace* ws, int n, int node) {
  if (node < n) {
    const int depth = ws->treeDepth < kMaxHuffmanCodeLength ? ws->treeDepth : kMaxHuffmanCodeLength;
    ws->lenCount[depth] += 1;
    return;
  }
  // The tree of n leaves is at most n - 1 deep, so the recursion is bounded
  // by the alphabet (510).
  ws->treeDepth += 1;
  CountLeafDepths(ws, n, ws->leftChild[node]);
  CountLeafDepths(ws, n, ws->rightChild[node]);
  ws->treeDepth -= 1;
}

void LimitCodeLengths(HuffmanWorkspace* ws) {
  std::uint16_t* count = ws->lenCount;
  // Kraft sum scaled to 2^16: exactly 65536 for a complete code. Clamping
  // deep leaves to 16 can only make it larger; each unit above 65536 is one
  // length-16 slot too many.
  std::uint32_t cum = 0;
  for (int len = kMaxHuffmanCodeLength; len >= 1; --len) {
    cum += static_cast<std::uint32_t>(count[len]) << (kMaxHuffmanCodeLength - len);
  }
  for (std::uint32_t excess = cum > 65536u ? cum - 65536u : 0; excess != 0; --excess) {
    // Drop one 16-bit leaf and split the longest shorter leaf into two
    // leaves one level deeper: the Kraft sum falls by one 2^-16 unit.
    count[kMaxHuffmanCodeLength] -= 1;
    for (int len = kMaxHuffmanCodeLength - 1; len >= 1; --len) {
      if (count[len] != 0) {
        count[len] -= 1;
        count[len + 1] += 2;
        break;
      }
    }
  }
}

int BuildHuffmanCode(HuffmanWorkspace* ws, int n, std::uint16_t* freq, std::uint8_t* len,
                     std::uint16_t* code) {
  std::int16_t* heap = ws->heap;
  heap[1] = 0;
  ws->heapSize = 0;
  int next = n;
  for (int i = 0; i < n; ++i) {
    len[i] = 0;
    if (freq[i] != 0) heap[++ws->heapSize] = static_cast<std::int16_t>(i);
  }
  if (ws->heapSize < 2) {
    code[heap[1]] = 0;
    return heap[1];
  }
  for (int i = ws->heapSize / 2; i >= 1; --i) SiftDown(ws, freq, i);

  // Merge the two lightest nodes until one is left. code[] doubles as the
  // list of leaves in the order they leave the heap.
  std::uint16_t* leafList = code;
  int listed = 0;
  int k = 0;
  while (ws->heapSize > 1) {
    const int i = heap[1];
    if (i < n) leafList[listed++] = static_cast<std::uint16_t>(i);
    heap[1] = heap[ws->heapSize];
    ws->heapSize -= 1;
    SiftDown(ws, freq, 1);
    const int j = heap[1];
    if (j < n) leafList[listed++] = static_cast<std::uint16_t>(j);
    k = next++;
    freq[k] = static_cast<std::uint16_t>(freq[i] + freq[j]);
    heap[1] = static_cast<std::int16_t>(k);
    SiftDown(ws, freq, 1);
    ws->leftChild[k] = static_cast<std::int16_t>(i);
    ws->rightChild[k] = static_cast<std::int16_t>(j);
  }
  const int root = k;

  for (auto& c : ws->lenCount) c = 0;
  ws->treeDepth = 0;
  CountLeafDepths(ws, n, root);
  LimitCodeLengths(ws);

  // Lengths: the leaves that left the heap first (the lightest) get the
  // longest codes.
  int listPos = 0;
  for (int l = kMaxHuffmanCodeLength; l >= 1; --l) {
    for (int c = ws->lenCount[l]; c > 0; --c) len[leafList[listPos++]] = static_cast<std::uint8_t>(l);
  }

  // Canonical codes: start[l] is the first code of length l.
  std::uint16_t start[kMaxHuffmanCodeLength + 2];
  start[1] = 0;
  for (int l = 1; l <= kMaxHuffmanCodeLength; ++l) {
    start[l + 1] = static_cast<std::uint16_t>((start[l] + ws->lenCount[l]) << 1);
  }
  for (int i = 0; i < n; ++i) {
    if (len[i] != 0) code[i] = start[len[i]]++;
  }
  return root;
}

}  // namespace mervix
