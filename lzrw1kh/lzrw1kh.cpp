#include "lzrw1kh/lzrw1kh.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>

#include "platform/memory.h"

namespace {

// Block string layout (all multi-byte fields big-endian).
constexpr uint8_t FlagCompressed = 0x40;
constexpr uint8_t FlagStored = 0x80;
constexpr uint32_t FirstControlSlot = 1;  // right after the flag byte
constexpr uint32_t ControlWordSize = 2;
constexpr uint32_t FirstItemOffset = FirstControlSlot + ControlWordSize;
constexpr uint32_t ItemsPerGroup = 16;

// Match item: distance * 16 + (length - MinMatch) in one word.
constexpr uint32_t MatchItemSize = 2;
constexpr uint32_t MinMatch = 3;
constexpr uint32_t MaxMatch = 18;
constexpr uint32_t MaxDistance = 4095;

// Run item: 0, (count - MinRun) as a word, the byte. A decoder can meet counts
// up to 0x0FFF + MinRun; the compressor writes at most MaxRunWritten.
constexpr uint32_t RunItemSize = 4;
constexpr uint32_t MinRun = 16;
constexpr uint32_t MaxRunWritten = 4095;

// The compressor checks for room only before an item: one step may then add a
// new control word and the largest item past the stored form's length.
static_assert(TLZR::CompressSlack == ControlWordSize + RunItemSize);

// Decoded lengths are reported as 16-bit values.
constexpr uint32_t MaxDecodedLength = 0xFFFF;

// The word compares below find the first differing byte with a count of
// trailing zero bits, which is the first byte in memory on little-endian
// machines only (x86, the installer's target); elsewhere they compare bytes.
constexpr bool WideCompares = std::endian::native == std::endian::little;
constexpr uint32_t WordSize = 8;

// How many bytes at the current position the compressor's word compares may
// read: 16 to see whether a run item starts there, and three words to cover
// the longest match.
constexpr uint32_t CompressReadSlack = 3 * WordSize;
static_assert(CompressReadSlack >= MinRun && CompressReadSlack >= MaxMatch);

// The decoder's fast loop copies a stretch of literals (at most one group's
// worth) as one 16-byte block and a match as up to three 8-byte words, so it
// runs only while the source holds a control word, that block and the largest
// item, and the destination that block and a match's words; the careful loop
// decodes the rest byte-exactly.
constexpr uint32_t LiteralBlock = ItemsPerGroup;
constexpr uint32_t MatchWords = 3 * WordSize;
static_assert(MatchWords >= MaxMatch);
constexpr uint32_t DecodeSourceSlack = ControlWordSize + LiteralBlock + RunItemSize;
constexpr uint32_t DecodeDestSlack = LiteralBlock + MatchWords;

// The decoder's control word sits in the top half of a 32-bit register with a
// marker bit below it. Each item shifts it left by one, so the group is done
// when the marker reaches the top, and a count of leading zeros gives the
// literals ahead, stopping at the marker.
constexpr uint32_t ItemBit = 0x80000000u;
constexpr uint32_t GroupMarker = 0x8000u;
constexpr uint32_t GroupDone = ItemBit;

inline uint16_t LoadBE16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

inline void StoreBE16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline void Copy8(uint8_t* to, const uint8_t* from) { std::memcpy(to, from, WordSize); }

// The index of the first differing byte of two unequal words.
inline uint32_t FirstDifference(uint64_t a, uint64_t b) {
  return static_cast<uint32_t>(std::countr_zero(a ^ b)) / 8;
}

// Length of the stretch of bytes equal to s[0], at most `limit`, when that
// is MinRun or more; otherwise some value below MinRun. Wide: `limit` >=
// MinRun, and most positions start no run, which two word compares tell.
template <bool Wide>
inline uint32_t RunLength(const uint8_t* s, uint32_t limit) {
  uint32_t k = 1;
  if constexpr (Wide && WideCompares) {
    assert(limit >= MinRun);
    const uint64_t pattern = 0x0101010101010101ull * s[0];
    if (Load64(s) != pattern || Load64(s + WordSize) != pattern) return 1;
    for (k = 2 * WordSize; k + WordSize <= limit; k += WordSize) {
      const uint64_t w = Load64(s + k);
      if (w != pattern) return k + FirstDifference(w, pattern);
    }
  }
  while (k < limit && s[k] == s[0]) ++k;
  return k;
}

// Number of equal bytes at a and at b, at most `limit` (<= MaxMatch). Wide:
// CompressReadSlack bytes may be read at both.
template <bool Wide>
inline uint32_t MatchLength(const uint8_t* a, const uint8_t* b, uint32_t limit) {
  if constexpr (Wide && WideCompares) {
    assert(limit == MaxMatch);
    for (uint32_t i = 0; i < CompressReadSlack; i += WordSize) {
      const uint64_t wa = Load64(a + i);
      const uint64_t wb = Load64(b + i);
      if (wa != wb) return std::min(i + FirstDifference(wa, wb), MaxMatch);
    }
    return MaxMatch;
  } else {
    uint32_t len = 0;
    while (len < limit && a[len] == b[len]) ++len;
    return len;
  }
}

// The probe of one position p with `left` bytes from p to the end of the
// block: looks up the slot of the next three bytes, records p there, and
// compares with the position it held. Wide: left >= CompressReadSlack.
template <bool Wide>
inline bool FindMatch(uint16_t* table, const uint8_t* source, uint32_t p, uint32_t left,
                      uint32_t& from, uint32_t& len) {
  // Near the end the missing bytes hash as 0: no match can start there, since
  // the length is bounded by what is left, so the slot written is never used.
  const uint16_t h = Wide ? TLZR::Hash(source[p], source[p + 1], source[p + 2])
                          : TLZR::Hash(source[p], left > 1 ? source[p + 1] : 0,
                                       left > 2 ? source[p + 2] : 0);
  const uint32_t e = table[h];
  table[h] = static_cast<uint16_t>(p);
  // An empty slot (65535) is never below p, so e < p also rules it out.
  if (p - e - 1 >= MaxDistance) return false;  // e < p, p - e <= MaxDistance; wraps for e >= p
  // The two ranges may overlap: e + len may pass p.
  len = MatchLength<Wide>(source + p, source + e, std::min(MaxMatch, left));
  from = e;
  return len >= MinMatch;
}

// The compressor's state within one block.
struct Encoder {
  const uint8_t* source;
  uint8_t* dest;
  uint16_t* table;
  uint32_t n;
  uint32_t x = 0;                  // input position
  uint32_t y = FirstItemOffset;    // output position
  uint32_t control = FirstControlSlot;  // where the current group's control word goes
  uint32_t items = 0;              // in the current group
  uint16_t flags = 0;              // older groups' bits drop off the top as new ones enter

  // One step of the loop: a new group when the current one is full, then the
  // item at x.
  template <bool Wide>
  inline void Step() {
    if (items == ItemsPerGroup) {
      StoreBE16(dest + control, flags);
      control = y;
      y += ControlWordSize;
      items = 0;
    }
    EncodeItem<Wide>();
    ++items;
  }

  // Writes the item at x: a run of MinRun or more equal bytes, else a match
  // if the probe finds one, else a literal. Wide: CompressReadSlack bytes
  // from x on are inside the block.
  template <bool Wide>
  inline void EncodeItem() {
    const uint8_t b = source[x];
    const uint32_t run = RunLength<Wide>(source + x, std::min(MaxRunWritten, n - x));
    uint32_t from = 0;
    uint32_t len = 0;
    if (run >= MinRun) {
      // The table is neither probed nor updated at the start of a run.
      dest[y] = 0;
      StoreBE16(dest + y + 1, run - MinRun);
      dest[y + 3] = b;
      y += RunItemSize;
      x += run;
      flags = static_cast<uint16_t>((flags << 1) | 1);
    } else if (FindMatch<Wide>(table, source, x, n - x, from, len)) {
      StoreBE16(dest + y, ((x - from) << 4) | (len - MinMatch));
      y += MatchItemSize;
      x += len;
      flags = static_cast<uint16_t>((flags << 1) | 1);
    } else {
      dest[y++] = b;
      ++x;
      flags = static_cast<uint16_t>(flags << 1);
    }
  }
};

}  // namespace

TLZR::TLZR() {
  HashTable = static_cast<uint16_t*>(AllocMem(HashSlots * sizeof(uint16_t)));
  if (!HashTable) throw ELzrw1KHCompressor("LZRW1KH : no memory for HASH table");
  // CompressBlock clears the table itself; this only gives ProbeMatch on a
  // fresh instance a defined start.
  std::fill_n(HashTable, HashSlots, EmptySlot);
}

TLZR::~TLZR() { FreeMem(HashTable); }

bool TLZR::ProbeMatch(const uint8_t* source, uint16_t p, uint16_t n, uint16_t& matchPos,
                      uint16_t& matchLen) {
  assert(p < n);
  const uint32_t left = n - p;
  uint32_t from = 0;
  uint32_t len = 0;
  const bool found = left >= CompressReadSlack
                         ? FindMatch<true>(HashTable, source, p, left, from, len)
                         : FindMatch<false>(HashTable, source, p, left, from, len);
  if (!found) return false;
  matchPos = static_cast<uint16_t>(from);
  matchLen = static_cast<uint16_t>(len);
  return true;
}

uint16_t TLZR::CompressBlock(const uint8_t* source, uint8_t* dest, uint16_t n) {
  assert(n <= MaxBlock);
  std::fill_n(HashTable, HashSlots, EmptySlot);
  dest[0] = FlagCompressed;
  Encoder enc{source, dest, HashTable, n};

  // Stop as soon as the output has outgrown the input: the stored form follows.
  // Word compares while CompressReadSlack bytes are left, then byte compares.
  while (enc.y <= n && n - enc.x >= CompressReadSlack) enc.Step<true>();
  while (enc.y <= n && enc.x < n) enc.Step<false>();

  // Move the last group's bits to the top; missing items read as literals.
  StoreBE16(dest + enc.control, static_cast<uint32_t>(enc.flags) << (ItemsPerGroup - enc.items));
  if (enc.y <= n) return static_cast<uint16_t>(enc.y);  // as long as the input still counts

  dest[0] = FlagStored;
  std::copy_n(source, n, dest + 1);
  return static_cast<uint16_t>(n + 1);
}

uint16_t TLZR::DecompressBlock(const uint8_t* source, uint8_t* dest, uint16_t n,
                               uint32_t destCapacity) {
  if (n <= 1) return 0;
  const uint32_t capacity = std::min(destCapacity, MaxDecodedLength);

  if (source[0] == FlagStored) {
    const uint32_t len = std::min<uint32_t>(n - 1u, capacity);
    std::copy_n(source + 1, len, dest);
    return static_cast<uint16_t>(len);
  }

  // Any other flag byte means the compressed form. Every item is checked
  // against what is left of the source and of the destination before it is
  // copied; one that does not fit, or a match reaching before the output,
  // ends decoding with what was decoded so far.
  if (n < FirstItemOffset) return 0;
  uint32_t flags = (uint32_t(LoadBE16(source + FirstControlSlot)) << 16) | GroupMarker;
  uint32_t x = FirstItemOffset;
  uint32_t y = 0;

  // Fast loop: one step decodes the literals ahead as a block, then one copy
  // item. It leaves anything doubtful (a bad distance, a run that does not
  // fit) to the careful loop, which stops there.
  while (n - x >= DecodeSourceSlack && capacity - y >= DecodeDestSlack) {
    if (flags == GroupDone) {
      flags = (uint32_t(LoadBE16(source + x)) << 16) | GroupMarker;
      x += ControlWordSize;
    }
    const uint32_t literals = static_cast<uint32_t>(std::countl_zero(flags));
    std::memcpy(dest + y, source + x, LiteralBlock);
    x += literals;
    y += literals;
    flags <<= literals;
    if (flags == GroupDone) continue;

    const uint32_t distance = (uint32_t(source[x]) << 4) | (source[x + 1] >> 4);
    if (distance != 0) {
      if (distance > y) break;
      const uint32_t len = (source[x + 1] & 15u) + MinMatch;
      uint8_t* to = dest + y;
      const uint8_t* from = to - distance;
      if (distance >= WordSize) {
        // Word by word in ascending order: each word reads only bytes that
        // are in place by then.
        Copy8(to, from);
        Copy8(to + WordSize, from + WordSize);
        Copy8(to + 2 * WordSize, from + 2 * WordSize);
      } else {
        for (uint32_t i = 0; i < len; ++i) to[i] = from[i];
      }
      x += MatchItemSize;
      y += len;
    } else {
      const uint32_t count = LoadBE16(source + x + 1) + MinRun;
      if (count > capacity - y) break;
      std::memset(dest + y, source[x + 3], count);
      x += RunItemSize;
      y += count;
    }
    flags <<= 1;
  }

  // Careful loop: one item at a time, each checked against both ends.
  while (x < n) {
    if (flags == GroupDone) {
      if (n - x < ControlWordSize) break;
      flags = (uint32_t(LoadBE16(source + x)) << 16) | GroupMarker;
      x += ControlWordSize;
      continue;  // a control word at the very end has no item behind it
    }

    if (flags & ItemBit) {
      if (n - x < MatchItemSize) break;
      const uint32_t distance = (uint32_t(source[x]) << 4) | (source[x + 1] >> 4);
      if (distance != 0) {
        const uint32_t len = (source[x + 1] & 15u) + MinMatch;
        if (distance > y || len > capacity - y) break;
        // Byte by byte in ascending order: a distance shorter than the length
        // repeats the last `distance` bytes.
        const uint8_t* from = dest + (y - distance);
        uint8_t* to = dest + y;
        for (uint32_t i = 0; i < len; ++i) to[i] = from[i];
        x += MatchItemSize;
        y += len;
      } else {
        if (n - x < RunItemSize) break;
        const uint32_t count = LoadBE16(source + x + 1) + MinRun;
        if (count > capacity - y) break;
        std::memset(dest + y, source[x + 3], count);
        x += RunItemSize;
        y += count;
      }
    } else {
      if (y == capacity) break;
      dest[y++] = source[x++];
    }
    flags <<= 1;
  }
  return static_cast<uint16_t>(y);
}
