#include "lzh/lzh.h"

#include <algorithm>
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

// How a key compares with another: the length of their common prefix (60
// when they agree in all 60 bytes) and whether the key is the greater at the
// first difference, bytes taken as unsigned values.
struct TKeyComparison {
  int Length;
  bool Greater;
};

constexpr int WordBytes = 8;

inline uint64_t LoadWord(const uint8_t* at) {
  uint64_t word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

// Byte order in which comparing two words as integers compares their bytes
// from the first one on.
inline uint64_t FirstByteHighest(uint64_t word) {
  if constexpr (std::endian::native == std::endian::little)
    return __builtin_bswap64(word);
  else
    return word;
}

// Index of the first differing byte of two words whose XOR is diff != 0.
inline int FirstDifferingByte(uint64_t diff) {
  if constexpr (std::endian::native == std::endian::little)
    return std::countr_zero(diff) / 8;
  else
    return std::countl_zero(diff) / 8;
}

// Compares two keys known to agree before byte `from`, eight bytes at a
// time. The last word overlaps the one before it so that no byte past
// key[59] is touched.
[[gnu::noinline]] TKeyComparison CompareKeysFrom(const uint8_t* key, const uint8_t* other, int from) {
  constexpr int LastWord = TLZH::MaxMatch - WordBytes;  // 52: bytes 52..59
  for (int at = from;; at += WordBytes) {
    if (at > LastWord) at = LastWord;
    const uint64_t x = LoadWord(key + at), y = LoadWord(other + at);
    if (x != y)
      return {at + FirstDifferingByte(x ^ y), FirstByteHighest(x) > FirstByteHighest(y)};
    if (at == LastWord) return {TLZH::MaxMatch, false};
  }
}

// Picks the right child when the key orders above the node's bytes, else
// the left one. The match finder's walk waits on this choice at every
// level; compilers tend to turn it into a branch, which the data makes
// unpredictable, so on x86-64 the choice is a compare and a conditional
// move.
inline unsigned ChildToward(uint64_t keyOrder, uint64_t nodeOrder, unsigned leftChild,
                            unsigned rightChild) {
#if defined(__GNUC__) && defined(__x86_64__)
  __asm__("cmpq %[node], %[key]\n\tcmova %[right], %[left]"
          : [left] "+r"(leftChild)
          : [key] "r"(keyOrder), [node] "r"(nodeOrder), [right] "r"(rightChild)
          : "cc");
  return leftChild;
#else
  return keyOrder > nodeOrder ? rightChild : leftChild;
#endif
}

// a when pick, else b, without a branch: for choices that follow the data
// and that a predictor gets wrong about as often as right. On x86-64 this
// is a conditional move; compilers left to themselves often branch.
template <class T>
inline T Choose(bool pick, T a, T b) {
  static_assert(sizeof(T) == 4 || sizeof(T) == 8);
#if defined(__GNUC__) && defined(__x86_64__)
  __asm__("test %[pick], %[pick]\n\tcmovne %[a], %[b]"
          : [b] "+r"(b)
          : [a] "r"(a), [pick] "r"(pick)
          : "cc");
  return b;
#else
  return pick ? a : b;
#endif
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

namespace {

// The best match of a walk as one number that orders matches the way they
// win: longer first, then nearer (the low part is 4095 - offset, larger for
// a smaller offset). A walk starts just below the score of any match longer
// than MatchThreshold, so shorter common prefixes never count.
constexpr int LengthShift = 12;
constexpr int NoMatchScore = ((TLZH::MatchThreshold + 1) << LengthShift) - 1;
constexpr int FullMatchScore = TLZH::MaxMatch << LengthShift;

// The match-finder tables one walk works on.
struct TTrees {
  const uint8_t* Ring;
  int16_t* Left;
  int16_t* Right;
  int16_t* Parent;
};

// One insertion on its way down the tree of its key's first byte.
struct TTreeWalk {
  unsigned R;         // the position being inserted
  uint64_t KeyOrder;  // bytes 1..8 of its key, first byte highest
  unsigned P;         // the node visited last (at first the root slot)
  unsigned Next;      // the node to visit next; NilNode once the walk is over
  int Best;           // score of the best match met so far (searching walks)
  bool GoRight;       // the side of P where the walk left it
  bool Full;          // P holds the same whole key
};

[[gnu::always_inline]] inline TTreeWalk BeginWalk(const TTrees& t, unsigned r) {
  TTreeWalk w;
  w.R = r;
  w.KeyOrder = FirstByteHighest(LoadWord(t.Ring + r + 1));
  w.P = TLZH::TreeRootSlot + t.Ring[r];
  // Links are read zero-extended: they are never negative, and the next
  // address then needs no sign extension on its way from the load.
  w.Next = static_cast<uint16_t>(t.Right[w.P]);
  w.Best = NoMatchScore;
  w.GoRight = true;  // equal keys go right, so the root slot holds the tree on its right
  w.Full = false;
  t.Right[r] = t.Left[r] = TLZH::NilNode;
  return w;
}

// Visits w.Next. The walk is one chain of dependent loads: the next node is
// known only once this node's key bytes are in and compared. Both children
// are fetched alongside the key bytes and the direction picks one with a
// conditional move. Most keys differ within their first eight bytes; a node
// that does not is compared further on a side path, and only there can the
// whole key match, which ends the walk. A walk that does not Search only
// finds the place of its position and keeps no score.
template <bool Search>
[[gnu::always_inline]] inline void StepWalk(TTreeWalk& w, const TTrees& t) {
  const unsigned p = w.Next;
  w.P = p;
  const unsigned leftOfP = static_cast<uint16_t>(t.Left[p]);
  const unsigned rightOfP = static_cast<uint16_t>(t.Right[p]);
  const uint64_t headOrder = FirstByteHighest(LoadWord(t.Ring + p + 1));
  int length;
  if (headOrder != w.KeyOrder) [[likely]] {
    w.GoRight = w.KeyOrder > headOrder;
    w.Next = ChildToward(w.KeyOrder, headOrder, leftOfP, rightOfP);
    if (!Search) return;
    length = 1 + std::countl_zero(w.KeyOrder ^ headOrder) / 8;
  } else {
    const TKeyComparison cmp = CompareKeysFrom(t.Ring + w.R, t.Ring + p, 1 + WordBytes);
    w.GoRight = cmp.Greater;
    length = cmp.Length;
    w.Full = length == TLZH::MaxMatch;
    w.Next = w.Full ? TLZH::NilNode : cmp.Greater ? rightOfP : leftOfP;
    if (!Search) return;
  }
  w.Best = std::max(w.Best, (length << LengthShift) | static_cast<int>((p - w.R) & TLZH::RingMask));
}

// Links the walk's position where the walk ended: below the last node, or
// in the place of a node with the same whole key, which leaves the trees.
[[gnu::always_inline]] inline void EndWalk(const TTreeWalk& w, const TTrees& t) {
  int16_t* const left = t.Left;
  int16_t* const right = t.Right;
  int16_t* const parent = t.Parent;
  const unsigned p = w.P;
  const int16_t r = static_cast<int16_t>(w.R);
  if (!w.Full) [[likely]] {
    Choose(w.GoRight, right, left)[p] = r;
    parent[r] = static_cast<int16_t>(p);
    return;
  }
  parent[r] = parent[p];
  left[r] = left[p];
  right[r] = right[p];
  parent[left[p]] = r;
  parent[right[p]] = r;
  if (right[parent[p]] == static_cast<int16_t>(p))
    right[parent[p]] = r;
  else
    left[parent[p]] = r;
  parent[p] = TLZH::NilNode;
}

template <bool Search>
[[gnu::always_inline]] inline TTreeWalk Walk(const TTrees& t, unsigned r) {
  TTreeWalk w = BeginWalk(t, r);
  while (w.Next != TLZH::NilNode) StepWalk<Search>(w, t);
  EndWalk(w, t);
  return w;
}

// Two walks into different trees, so neither can meet the other's nodes:
// two independent chains of loads in one loop, whose latencies the
// processor overlaps. Only the second may search.
template <bool Search>
[[gnu::always_inline]] inline TTreeWalk WalkPair(const TTrees& t, unsigned r1, unsigned r2) {
  TTreeWalk a = BeginWalk(t, r1);
  TTreeWalk b = BeginWalk(t, r2);
  while (a.Next != TLZH::NilNode && b.Next != TLZH::NilNode) {
    StepWalk<false>(a, t);
    StepWalk<Search>(b, t);
  }
  while (a.Next != TLZH::NilNode) StepWalk<false>(a, t);
  while (b.Next != TLZH::NilNode) StepWalk<Search>(b, t);
  EndWalk(a, t);
  EndWalk(b, t);
  return b;
}

}  // namespace

void TLZH::TakeMatch(int best) {
  // Without a match MatchLength is 0 and MatchOffset keeps its old value.
  const bool found = best != NoMatchScore;
  MatchLength = static_cast<int16_t>(Choose<unsigned>(found, best >> LengthShift, 0));
  MatchOffset = static_cast<int16_t>(
      Choose<unsigned>(found, RingMask - (best & RingMask), static_cast<uint16_t>(MatchOffset)));
}

void TLZH::InsertPosition(int16_t r) {
  TakeMatch(Walk<true>(TTrees{Ring, LeftChild, RightChild, TreeParent}, static_cast<uint16_t>(r)).Best);
}

void TLZH::LinkPosition(int16_t r) {
  Walk<false>(TTrees{Ring, LeftChild, RightChild, TreeParent}, static_cast<uint16_t>(r));
}

void TLZH::LinkPositionPair(int16_t r1, int16_t r2) {
  WalkPair<false>(TTrees{Ring, LeftChild, RightChild, TreeParent}, static_cast<uint16_t>(r1),
                  static_cast<uint16_t>(r2));
}

void TLZH::LinkAndInsertPosition(int16_t r1, int16_t r2) {
  const TTrees trees{Ring, LeftChild, RightChild, TreeParent};
  TakeMatch(WalkPair<true>(trees, static_cast<uint16_t>(r1), static_cast<uint16_t>(r2)).Best);
}

void TLZH::RemovePosition(int16_t p) {
  int16_t* const left = LeftChild;
  int16_t* const right = RightChild;
  int16_t* const parent = TreeParent;
  const unsigned up = static_cast<uint16_t>(parent[p]);
  if (up == NilNode) return;
  const unsigned leftOfP = static_cast<uint16_t>(left[p]);
  const unsigned rightOfP = static_cast<uint16_t>(right[p]);
  // The node q that takes p's place: its only child, or with two children
  // the left one or, when that has a right subtree, p's in-order
  // predecessor. Which case applies follows the data, so the common ones
  // run as one straight line with conditional moves: links meant for no
  // node land in the scratch entries at NilNode, which nothing reads.
  // (A third fewer mispredicted branches here on text, for a quarter more
  // instructions.)
  const bool both = (leftOfP != NilNode) & (rightOfP != NilNode);
  unsigned q = Choose(leftOfP == NilNode, rightOfP, leftOfP);
  if (both && right[q] != NilNode) {
    do q = static_cast<uint16_t>(right[q]);
    while (right[q] != NilNode);
    const int16_t upOfQ = parent[q];
    right[upOfQ] = left[q];
    parent[left[q]] = upOfQ;
    left[q] = static_cast<int16_t>(leftOfP);
    parent[leftOfP] = static_cast<int16_t>(q);
  }
  // With two children q takes p's right subtree. With one, the link goes
  // to the scratch entry, and the parent link written to q (q's own place,
  // or the scratch entry) is replaced just below.
  right[Choose(both, q, unsigned{NilNode})] = static_cast<int16_t>(rightOfP);
  parent[rightOfP] = static_cast<int16_t>(q);
  parent[q] = static_cast<int16_t>(up);
  // The link that led to p now leads to q; a root slot holds its tree on
  // the right, so its left entry (which does not exist) is never chosen.
  Choose(right[up] == p, right, left)[up] = static_cast<int16_t>(q);
  parent[p] = NilNode;
}

void TLZH::DecodeStream(int32_t originalSize, TReadBytesProc read, TWriteBytesProc write) {
  DecodeStream<TReadBytesProc, TWriteBytesProc>(originalSize, read, write);
}

void TLZH::EncodeStream(int32_t& bytesRead, TReadBytesProc read, TWriteBytesProc write) {
  EncodeStream<TReadBytesProc, TWriteBytesProc>(bytesRead, read, write);
}
