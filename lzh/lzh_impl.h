// Template and inline parts of TLZH: the two drivers and everything that runs
// once per bit, byte or symbol, so that the caller's reader and writer are
// inlined into the loops. Included by lzh.h only.
#pragma once
#include <cassert>

// Holds the tables of one call and releases them however the call ends.
class TLZHTableGuard {
public:
  explicit TLZHTableGuard(TLZH& codec) : codec_(codec) { codec_.AllocTables(); }
  ~TLZHTableGuard() { codec_.FreeTables(); }
  TLZHTableGuard(const TLZHTableGuard&) = delete;
  TLZHTableGuard& operator=(const TLZHTableGuard&) = delete;

private:
  TLZH& codec_;
};

template <class Writer>
inline void TLZH::PutByte(uint8_t b, Writer& write) {
  uint16_t written = 0;
  write(&b, 1, written);
}

template <class Reader>
inline bool TLZH::GetByte(uint8_t& b, Reader& read) {
  uint16_t delivered = 0;
  read(&b, 1, delivered);
  return delivered != 0;
}

inline void TLZH::UpdateModel(uint16_t s) {
  if (Frequency[RootNode] == FreqCeiling) RebuildHuffman();
  uint16_t* const freq = Frequency;
  int16_t* const parent = HuffParent;
  int16_t* const child = HuffChild;
  int c = parent[s + NodeCount];
  do {
    const uint16_t k = ++freq[c];
    if (k > freq[c + 1]) {
      // Move the node to the last place that held its old count, so the
      // array stays sorted; the sentinel at NodeCount ends the scan.
      int l = c + 1;
      while (k > freq[l + 1]) ++l;
      freq[c] = freq[l];
      freq[l] = k;
      const int i = child[c];
      parent[i] = static_cast<int16_t>(l);
      if (i < NodeCount) parent[i + 1] = static_cast<int16_t>(l);
      const int j = child[l];
      child[l] = static_cast<int16_t>(i);
      parent[j] = static_cast<int16_t>(c);
      if (j < NodeCount) parent[j + 1] = static_cast<int16_t>(c);
      child[c] = static_cast<int16_t>(j);
      c = l;
    }
    c = parent[c];
  } while (c != 0);
}

template <class Reader>
inline void TLZH::Refill(Reader& read) {
  while (InBitCount <= 8) {
    uint8_t b = 0;
    uint16_t delivered = 0;
    read(&b, 1, delivered);
    if (delivered != 1) b = 0;
    InBits = static_cast<uint16_t>(InBits | (b << (8 - InBitCount)));
    InBitCount = static_cast<uint8_t>(InBitCount + 8);
  }
}

template <class Reader>
inline uint16_t TLZH::ReadBit(Reader& read) {
  Refill(read);
  const uint16_t bit = InBits >> 15;
  InBits = static_cast<uint16_t>(InBits << 1);
  --InBitCount;
  return bit;
}

template <class Reader>
inline uint16_t TLZH::ReadBits8(Reader& read) {
  Refill(read);
  const uint16_t bits = InBits >> 8;
  InBits = static_cast<uint16_t>(InBits << 8);
  InBitCount = static_cast<uint8_t>(InBitCount - 8);
  return bits;
}

template <class Writer>
inline void TLZH::WriteBits(uint16_t n, uint16_t code, Writer& write) {
  assert(n >= 1 && n <= 16);
  OutBits = static_cast<uint16_t>(OutBits | (code >> OutBitCount));
  OutBitCount = static_cast<uint8_t>(OutBitCount + n);
  if (OutBitCount < 8) return;
  PutByte(static_cast<uint8_t>(OutBits >> 8), write);
  OutBitCount = static_cast<uint8_t>(OutBitCount - 8);
  if (OutBitCount < 8) {
    OutBits = static_cast<uint16_t>(OutBits << 8);
    return;
  }
  PutByte(static_cast<uint8_t>(OutBits), write);
  OutBitCount = static_cast<uint8_t>(OutBitCount - 8);
  // The bits of code that did not fit; a shift by 16 leaves none.
  const int shift = n - OutBitCount;
  OutBits = shift >= 16 ? 0 : static_cast<uint16_t>(code << shift);
}

template <class Writer>
inline void TLZH::FlushBits(Writer& write) {
  if (OutBitCount > 0) PutByte(static_cast<uint8_t>(OutBits >> 8), write);
}

template <class Reader>
inline uint16_t TLZH::DecodeSymbol(Reader& read) {
  const int16_t* const child = HuffChild;
  int c = child[RootNode];
  while (c < NodeCount) c = child[c + ReadBit(read)];
  const uint16_t s = static_cast<uint16_t>(c - NodeCount);
  UpdateModel(s);
  return s;
}

template <class Reader>
inline uint16_t TLZH::DecodeOffset(Reader& read) {
  uint16_t x = ReadBits8(read);
  const uint16_t upper = OffsetUpperByByte[x];
  // The first byte holds the prefix code and the first 8 - n plain bits;
  // n - 2 more bits complete the six plain bits.
  for (int n = OffsetLenByByte[x] - 2; n > 0; --n)
    x = static_cast<uint16_t>(2 * x + ReadBit(read));
  return static_cast<uint16_t>((upper << 6) | (x & 0x3F));
}

template <class Writer>
inline void TLZH::EncodeSymbol(uint16_t s, Writer& write) {
  // Walk from the leaf up to the root; the branch bits enter at the top, so
  // they end up root end first.
  uint32_t code = 0;
  int n = 0;
  int k = HuffParent[s + NodeCount];
  do {
    code = (code >> 1) | (static_cast<uint32_t>(k & 1) << 31);
    ++n;
    k = HuffParent[k];
  } while (k != RootNode);
  assert(n <= MaxCodeLength);
  if (n <= 16) {
    WriteBits(static_cast<uint16_t>(n), static_cast<uint16_t>(code >> 16), write);
  } else {
    WriteBits(16, static_cast<uint16_t>(code >> 16), write);
    WriteBits(static_cast<uint16_t>(n - 16), static_cast<uint16_t>(code), write);
  }
  UpdateModel(s);
}

template <class Writer>
inline void TLZH::EncodeOffset(uint16_t o, Writer& write) {
  const unsigned upper = o >> 6;
  WriteBits(OffsetLen[upper], static_cast<uint16_t>(OffsetCode[upper] << 8), write);
  WriteBits(6, static_cast<uint16_t>((o & 0x3F) << 10), write);
}

template <class Reader, class Writer>
void TLZH::DecodeStream(int32_t originalSize, Reader& read, Writer& write) {
  TLZHTableGuard tables(*this);
  InitHuffman();
  InitRing();
  uint8_t* const ring = Ring;
  int r = FirstRingPosition;
  int32_t count = 0;
  while (count < originalSize) {
    const uint16_t s = DecodeSymbol(read);
    if (s < 256) {
      const uint8_t b = static_cast<uint8_t>(s);
      PutByte(b, write);
      ring[r] = b;
      r = (r + 1) & RingMask;
      ++count;
    } else {
      const int length = s - 256 + MatchThreshold + 1;
      int p = (r - DecodeOffset(read) - 1) & RingMask;
      // Byte by byte, each stored before the next is fetched, so that a
      // match nearer than its length repeats its start.
      for (int k = 0; k < length; ++k) {
        const uint8_t b = ring[p];
        p = (p + 1) & RingMask;
        PutByte(b, write);
        ring[r] = b;
        r = (r + 1) & RingMask;
      }
      count += length;
    }
  }
}

template <class Reader, class Writer>
void TLZH::EncodeStream(int32_t& bytesRead, Reader& read, Writer& write) {
  TLZHTableGuard tables(*this);
  TextSize = 0;
  InitHuffman();
  InitTrees();
  InitRing();
  uint8_t* const ring = Ring;
  int s = 0;
  int r = FirstRingPosition;
  int len = 0;
  uint8_t b = 0;
  while (len < MaxMatch && GetByte(b, read)) ring[r + len++] = b;
  TextSize = len;
  for (int i = 1; i <= MaxMatch; ++i) InsertPosition(static_cast<int16_t>(r - i));
  InsertPosition(static_cast<int16_t>(r));
  do {
    if (MatchLength > len) MatchLength = static_cast<int16_t>(len);
    if (MatchLength <= MatchThreshold) {
      MatchLength = 1;
      EncodeSymbol(ring[r], write);
    } else {
      EncodeSymbol(static_cast<uint16_t>(MatchLength + 256 - MatchThreshold - 1), write);
      EncodeOffset(static_cast<uint16_t>(MatchOffset), write);
    }
    const int last = MatchLength;
    int i = 0;
    // Takes in byte b at s: the oldest position leaves its tree first.
    auto admit = [&](uint8_t b) {
      RemovePosition(static_cast<int16_t>(s));
      ring[s] = b;
      if (s < MirrorBytes) ring[s + RingSize] = b;
      s = (s + 1) & RingMask;
    };
    // Only the last step of a token needs the match of its position: the
    // next token is chosen by it. The steps before it only keep the trees,
    // which is far less work per node (most steps of text are inside
    // matches).
    auto place = [&](int at, bool lastStep) {
      if (lastStep)
        InsertPosition(static_cast<int16_t>(at));
      else
        LinkPosition(static_cast<int16_t>(at));
    };
    // Once the input has ended every pass asks once more; the reader keeps
    // delivering nothing.
    while (i < last) {
      // Two steps of a match at once when their insertions go into
      // different trees and the second removal does not touch the first
      // insertion's tree: then the removals may go first and the two walks
      // overlap, with the trees ending as if one step followed the other.
      // Keys in the trees never reach the bytes the two steps overwrite.
      const int r1 = (r + 1) & RingMask, r2 = (r + 2) & RingMask;
      if (i + 1 < last && ring[r1] != ring[r2] && ring[r1] != ring[(s + 1) & RingMask]) {
        if (!GetByte(b, read)) break;
        uint8_t b2 = 0;
        if (GetByte(b2, read)) {
          admit(b);
          admit(b2);
          r = r2;
          if (i + 2 == last)
            LinkAndInsertPosition(static_cast<int16_t>(r1), static_cast<int16_t>(r2));
          else
            LinkPositionPair(static_cast<int16_t>(r1), static_cast<int16_t>(r2));
          i += 2;
          continue;
        }
        admit(b);
        r = r1;
        place(r, false);
        ++i;
        break;
      }
      if (!GetByte(b, read)) break;
      admit(b);
      r = r1;
      place(r, i + 1 == last);
      ++i;
    }
    TextSize += i;
    for (; i < last; ++i) {
      RemovePosition(static_cast<int16_t>(s));
      s = (s + 1) & RingMask;
      r = (r + 1) & RingMask;
      if (--len != 0) place(r, i + 1 == last);
    }
  } while (len > 0);
  FlushBits(write);
  bytesRead = TextSize;
}
