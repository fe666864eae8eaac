#include "lzh/lzh.h"

#include <bit>
#include <cstring>

#include "platform/memory.h"

namespace {

constexpr int OffsetUpperCount = 64;

// Lengths of the offset prefix codes: 1 code of 3 bits, 3 of 4, 8 of 5,
// 12 of 6, 24 of 7, 16 of 8 (they fill the 256 byte values exactly).
constexpr std::array<uint8_t, OffsetUpperCount> MakeOffsetLen() {
  std::array<uint8_t, OffsetUpperCount> len{};
  constexpr int lastOfLength[] = {0, 3, 11, 23, 47, 63};  // last u with length 3..8
  int u = 0;
  for (int k = 0; k < 6; ++k)
    for (; u <= lastOfLength[k]; ++u) len[u] = static_cast<uint8_t>(3 + k);
  return len;
}

constexpr std::array<uint8_t, OffsetUpperCount> OffsetLenTable = MakeOffsetLen();

// Canonical codes in order of u, left-aligned in a byte.
constexpr std::array<uint8_t, OffsetUpperCount> MakeOffsetCode() {
  std::array<uint8_t, OffsetUpperCount> code{};
  int next = 0;
  for (int u = 0; u < OffsetUpperCount; ++u) {
    code[u] = static_cast<uint8_t>(next);
    next += 1 << (8 - OffsetLenTable[u]);
  }
  return code;
}

constexpr std::array<uint8_t, OffsetUpperCount> OffsetCodeTable = MakeOffsetCode();

// For every byte value, the u whose code prefixes it (Upper) or that code's
// length (!Upper).
template <bool Upper>
constexpr std::array<uint8_t, 256> MakeOffsetByByte() {
  std::array<uint8_t, 256> table{};
  for (int u = 0; u < OffsetUpperCount; ++u) {
    const int first = OffsetCodeTable[u];
    const int span = 1 << (8 - OffsetLenTable[u]);
    for (int x = first; x < first + span; ++x)
      table[x] = static_cast<uint8_t>(Upper ? u : OffsetLenTable[u]);
  }
  return table;
}

// Table sizes in entries.
constexpr std::size_t RingBytes = TLZH::RingSize + TLZH::MirrorBytes;
constexpr std::size_t LeftChildEntries = TLZH::RingSize + 1;
constexpr std::size_t TreeParentEntries = TLZH::RingSize + 1;
constexpr std::size_t RightChildEntries = TLZH::RingSize + 1 + 256;
constexpr std::size_t FrequencyEntries = TLZH::NodeCount + 1;
constexpr std::size_t HuffParentEntries = TLZH::NodeCount + TLZH::SymbolCount;
constexpr std::size_t HuffChildEntries = TLZH::NodeCount;

constexpr uint16_t FrequencySentinel = 0xFFFF;

// Index of the first byte from 1 to 59 at which the 60-byte keys a and b
// differ, or 60 when they agree there (byte 0 is equal by construction).
// Compares eight bytes at a time; the last word overlaps the one before it
// so that no byte past key[59] is touched.
inline int FirstDifference(const uint8_t* a, const uint8_t* b) {
  constexpr int WordBytes = 8;
  constexpr int LastWord = TLZH::MaxMatch - WordBytes;  // 52: covers bytes 52..59
  auto differ = [&](int at) -> uint64_t {
    uint64_t x, y;
    std::memcpy(&x, a + at, WordBytes);
    std::memcpy(&y, b + at, WordBytes);
    return x ^ y;
  };
  auto firstByte = [](uint64_t diff) -> int {
    if constexpr (std::endian::native == std::endian::little)
      return std::countr_zero(diff) / 8;
    else
      return std::countl_zero(diff) / 8;
  };
  constexpr int FullWords = (TLZH::MaxMatch - 1) / WordBytes;  // 7: bytes 1..56
  for (int w = 0, at = 1; w < FullWords; ++w, at += WordBytes)
    if (const uint64_t diff = differ(at)) return at + firstByte(diff);
  if (const uint64_t diff = differ(LastWord)) return LastWord + firstByte(diff);
  return TLZH::MaxMatch;
}

template <class T>
T* Obtain(std::size_t entries) {
  return static_cast<T*>(AllocMem(entries * sizeof(T)));
}

}  // namespace

const std::array<uint8_t, 64> TLZH::OffsetLen = OffsetLenTable;
const std::array<uint8_t, 64> TLZH::OffsetCode = OffsetCodeTable;
const std::array<uint8_t, 256> TLZH::OffsetUpperByByte = MakeOffsetByByte<true>();
const std::array<uint8_t, 256> TLZH::OffsetLenByByte = MakeOffsetByByte<false>();

void TLZH::AllocTables() {
  InBits = 0;
  InBitCount = 0;
  OutBitCount = 0;
  OutBits = 0;
  TextSize = 0;
  MatchOffset = 0;
  MatchLength = 0;
  FreeTables();  // nothing is held between calls; be safe if a caller misused us
  bool ok = (LeftChild = Obtain<int16_t>(LeftChildEntries)) != nullptr &&
            (TreeParent = Obtain<int16_t>(TreeParentEntries)) != nullptr &&
            (RightChild = Obtain<int16_t>(RightChildEntries)) != nullptr &&
            (Ring = Obtain<uint8_t>(RingBytes)) != nullptr &&
            (Frequency = Obtain<uint16_t>(FrequencyEntries)) != nullptr &&
            (HuffParent = Obtain<int16_t>(HuffParentEntries)) != nullptr &&
            (HuffChild = Obtain<int16_t>(HuffChildEntries)) != nullptr;
  if (!ok) {
    FreeTables();
    throw ElzhException("LZH : Cannot get memory for dictionary tables");
  }
}

void TLZH::FreeTables() noexcept {
  auto release = [](auto*& table) {
    FreeMem(table);
    table = nullptr;
  };
  release(HuffChild);
  release(HuffParent);
  release(Frequency);
  release(Ring);
  release(RightChild);
  release(TreeParent);
  release(LeftChild);
}

void TLZH::InitRing() {
  std::memset(Ring, FillByte, FirstRingPosition);
  std::memset(Ring + FirstRingPosition, 0, RingBytes - FirstRingPosition);
}

void TLZH::InitHuffman() {
  for (int s = 0; s < SymbolCount; ++s) {
    Frequency[s] = 1;
    HuffChild[s] = static_cast<int16_t>(s + NodeCount);
    HuffParent[s + NodeCount] = static_cast<int16_t>(s);
  }
  for (int i = 0, j = SymbolCount; j < NodeCount; i += 2, ++j) {
    Frequency[j] = static_cast<uint16_t>(Frequency[i] + Frequency[i + 1]);
    HuffChild[j] = static_cast<int16_t>(i);
    HuffParent[i] = HuffParent[i + 1] = static_cast<int16_t>(j);
  }
  Frequency[NodeCount] = FrequencySentinel;
  HuffParent[RootNode] = 0;
}

void TLZH::RebuildHuffman() {
  // Gather the leaves in their order, halving their counts (1 stays 1).
  int j = 0;
  for (int i = 0; i < NodeCount; ++i) {
    if (HuffChild[i] >= NodeCount) {
      Frequency[j] = static_cast<uint16_t>((Frequency[i] + 1) / 2);
      HuffChild[j] = HuffChild[i];
      ++j;
    }
  }
  // Pair them again; a new node goes after every node of its count.
  for (int i = 0, n = SymbolCount; n < NodeCount; i += 2, ++n) {
    const unsigned f = Frequency[i] + Frequency[i + 1];
    int k = n - 1;
    while (Frequency[k] > f) --k;
    ++k;
    std::memmove(Frequency + k + 1, Frequency + k, (n - k) * sizeof(*Frequency));
    std::memmove(HuffChild + k + 1, HuffChild + k, (n - k) * sizeof(*HuffChild));
    Frequency[k] = static_cast<uint16_t>(f);
    HuffChild[k] = static_cast<int16_t>(i);
  }
  for (int i = 0; i < NodeCount; ++i) {
    const int k = HuffChild[i];
    if (k >= NodeCount)
      HuffParent[k] = static_cast<int16_t>(i);
    else
      HuffParent[k] = HuffParent[k + 1] = static_cast<int16_t>(i);
  }
}

void TLZH::InitTrees() {
  for (int b = 0; b < 256; ++b) RightChild[TreeRootSlot + b] = NilNode;
  for (int p = 0; p <= RingSize; ++p) TreeParent[p] = NilNode;
}

void TLZH::InsertPosition(int16_t r) {
  const uint8_t* const key = Ring + r;
  int16_t* const left = LeftChild;
  int16_t* const right = RightChild;
  int16_t* const parent = TreeParent;
  bool goRight = true;
  int p = TreeRootSlot + key[0];
  right[r] = left[r] = NilNode;
  int matchLength = 0;
  int matchOffset = MatchOffset;
  do {
    int16_t* const next = goRight ? &right[p] : &left[p];
    if (*next == NilNode) {
      *next = r;
      parent[r] = static_cast<int16_t>(p);
      MatchLength = static_cast<int16_t>(matchLength);
      MatchOffset = static_cast<int16_t>(matchOffset);
      return;
    }
    p = *next;
    const int i = FirstDifference(key, Ring + p);
    if (i < MaxMatch) goRight = key[i] > Ring[p + i];
    if (i > MatchThreshold) {
      const int d = ((r - p) & RingMask) - 1;
      if (i > matchLength) {
        matchOffset = d;
        matchLength = i;
      } else if (i == matchLength && d < matchOffset) {
        matchOffset = d;
      }
    }
  } while (matchLength < MaxMatch);
  MatchLength = static_cast<int16_t>(matchLength);
  MatchOffset = static_cast<int16_t>(matchOffset);
  // p holds the same 60-byte key: r takes its place and p leaves the trees.
  parent[r] = parent[p];
  left[r] = left[p];
  right[r] = right[p];
  parent[left[p]] = r;
  parent[right[p]] = r;
  if (right[parent[p]] == p)
    right[parent[p]] = r;
  else
    left[parent[p]] = r;
  parent[p] = NilNode;
}

void TLZH::RemovePosition(int16_t p) {
  int16_t* const left = LeftChild;
  int16_t* const right = RightChild;
  int16_t* const parent = TreeParent;
  if (parent[p] == NilNode) return;
  int q;
  if (right[p] == NilNode) {
    q = left[p];
  } else if (left[p] == NilNode) {
    q = right[p];
  } else {
    q = left[p];
    if (right[q] != NilNode) {
      // p's in-order predecessor takes its place.
      do q = right[q];
      while (right[q] != NilNode);
      right[parent[q]] = left[q];
      parent[left[q]] = parent[q];
      left[q] = left[p];
      parent[left[p]] = static_cast<int16_t>(q);
    }
    right[q] = right[p];
    parent[right[p]] = static_cast<int16_t>(q);
  }
  // When q is NilNode its parent link lands in the scratch slot.
  parent[q] = parent[p];
  if (right[parent[p]] == p)
    right[parent[p]] = static_cast<int16_t>(q);
  else
    left[parent[p]] = static_cast<int16_t>(q);
  parent[p] = NilNode;
}

void TLZH::DecodeStream(int32_t originalSize, TReadBytesProc read, TWriteBytesProc write) {
  DecodeStream<TReadBytesProc, TWriteBytesProc>(originalSize, read, write);
}

void TLZH::EncodeStream(int32_t& bytesRead, TReadBytesProc read, TWriteBytesProc write) {
  EncodeStream<TReadBytesProc, TWriteBytesProc>(bytesRead, read, write);
}
