// LZH codec: LZSS over a 4096-byte window with matches of 3..60 bytes, whose
// literals and lengths share one adaptive Huffman code of 314 symbols and
// whose offsets carry a fixed prefix code for their upper six bits.
//
// The codec reads and writes one byte per callback call. The callbacks are
// template parameters so that the component's buffered reader and writer are
// inlined into the hot loops; TReadBytesProc / TWriteBytesProc are the plain
// callback form, one instantiation of the same code.
#pragma once
#include <array>
#include <cstdint>

#include "platform/exception.h"

class ElzhException : public Exception {
public:
  using Exception::Exception;
};

// Copies up to count input bytes into buffer; delivered = 0 at end of input.
struct TReadBytesProc {
  void* Self = nullptr;
  void (*Proc)(void* self, uint8_t* buffer, uint16_t count, uint16_t& delivered) = nullptr;
  void operator()(uint8_t* buffer, uint16_t count, uint16_t& delivered) const {
    Proc(Self, buffer, count, delivered);
  }
};

// Takes count bytes from buffer.
struct TWriteBytesProc {
  void* Self = nullptr;
  void (*Proc)(void* self, const uint8_t* buffer, uint16_t count, uint16_t& written) = nullptr;
  void operator()(const uint8_t* buffer, uint16_t count, uint16_t& written) const {
    Proc(Self, buffer, count, written);
  }
};

// The codec object. It holds no tables between calls: every DecodeStream /
// EncodeStream obtains its tables, starts from a fresh model and releases the
// tables on every way out, so one instance serves any number of calls (one
// at a time). The component relies only on the four DecodeStream /
// EncodeStream forms; the building blocks are public so that tests can drive
// the model and the bit registers directly.
class TLZH {
public:
  static constexpr int RingSize = 4096;        // window size; positions masked with RingMask
  static constexpr int RingMask = RingSize - 1;
  static constexpr int MaxMatch = 60;          // longest match and encoder look-ahead
  static constexpr int MatchThreshold = 2;     // matches this short go out as literals
  static constexpr int NilNode = RingSize;     // "no node" in the match-finder trees
  static constexpr int SymbolCount = 256 - MatchThreshold + MaxMatch;  // 314
  static constexpr int NodeCount = 2 * SymbolCount - 1;                // 627
  static constexpr int RootNode = NodeCount - 1;                       // 626
  static constexpr uint16_t FreqCeiling = 0x8000;  // root count that triggers halving
  static constexpr uint8_t FillByte = 0x20;
  static constexpr int FirstRingPosition = RingSize - MaxMatch;  // 4036
  static constexpr int MirrorBytes = MaxMatch - 1;               // ring bytes repeated past 4095
  static constexpr int TreeRootSlot = RingSize + 1;  // RightChild[TreeRootSlot + b]: root of tree b
  // The deepest a leaf can sit: a node's parent's sibling weighs at least as
  // much as the node itself, so counts grow at least like Fibonacci numbers
  // on the way up, and with the root at most 32768 (F(23) = 28657 <= 32768 <
  // F(24)) no leaf lies deeper than 21 levels. Codes are gathered in 32 bits.
  static constexpr int MaxCodeLength = 21;

  // Prefix code of the upper six bits u of an offset: OffsetLen[u] bits of
  // OffsetCode[u], left-aligned in a byte; codes are canonical in order of u.
  // For each byte value x, OffsetUpperByByte[x] is the u whose code prefixes
  // x and OffsetLenByByte[x] that code's length.
  static const std::array<uint8_t, 64> OffsetLen;
  static const std::array<uint8_t, 64> OffsetCode;
  static const std::array<uint8_t, 256> OffsetUpperByByte;
  static const std::array<uint8_t, 256> OffsetLenByByte;

  // Reader: read(uint8_t* buffer, uint16_t count, uint16_t& delivered)
  // Writer: write(const uint8_t* buffer, uint16_t count, uint16_t& written)
  // Both are called with count 1, once per byte; `written` is never looked at.

  // Decodes tokens until at least originalSize bytes went through write (a
  // damaged stream may make the last match run up to 59 bytes further).
  // originalSize <= 0 reads and writes nothing. Input that ends early reads
  // as zero bits; no error is raised for it. Reads at most one byte beyond
  // the last byte whose bits it uses. Raises ElzhException when the tables
  // cannot be obtained; callback exceptions pass through, tables released.
  template <class Reader, class Writer>
  void DecodeStream(int32_t originalSize, Reader& read, Writer& write);
  // Encodes the input until read delivers nothing and sets bytesRead to the
  // number of input bytes consumed. Output ends with the last partly filled
  // byte, padded with zero bits. Errors as for DecodeStream.
  template <class Reader, class Writer>
  void EncodeStream(int32_t& bytesRead, Reader& read, Writer& write);

  void DecodeStream(int32_t originalSize, TReadBytesProc read, TWriteBytesProc write);
  void EncodeStream(int32_t& bytesRead, TReadBytesProc read, TWriteBytesProc write);

  // --- Building blocks of the two drivers ---

  // Clears the registers and counters, then obtains the seven tables
  // (contents undefined). Raises ElzhException "LZH : Cannot get memory for
  // dictionary tables" when one cannot be had, after releasing those it got.
  void AllocTables();
  // Releases whatever tables are held, in reverse order; safe to repeat.
  void FreeTables() noexcept;

  // Sets up the initial model: every symbol counted once, leaf s at node s.
  void InitHuffman();
  // Counts symbol s (0..313), halving all counts first when the root has
  // reached FreqCeiling; keeps the nodes sorted by count.
  inline void UpdateModel(uint16_t s);
  // Halves every leaf count (never to 0) and builds the tree again.
  void RebuildHuffman();

  // Bit reader: the stream is read most significant bit first; a read that
  // delivers no byte supplies a zero byte.
  template <class Reader> uint16_t ReadBit(Reader& read);
  template <class Reader> uint16_t ReadBits8(Reader& read);
  // Bit writer: appends the top n bits (1..16) of code.
  template <class Writer> void WriteBits(uint16_t n, uint16_t code, Writer& write);
  // Writes the pending bits, padded with zeros to a byte, if there are any.
  template <class Writer> void FlushBits(Writer& write);

  // Reads one symbol code (and counts the symbol); returns 0..313.
  template <class Reader> uint16_t DecodeSymbol(Reader& read);
  // Reads one offset code; returns 0..4095.
  template <class Reader> uint16_t DecodeOffset(Reader& read);

  // Empties all 256 match-finder trees.
  void InitTrees();
  // Puts ring position r into its tree and leaves the longest match met on
  // the way in MatchLength / MatchOffset (MatchLength 0 when none above 2).
  void InsertPosition(int16_t r);
  // Puts ring position r into its tree as InsertPosition does, without
  // looking for a match: MatchLength / MatchOffset stay as they are.
  void LinkPosition(int16_t r);
  // LinkPosition(r1) then LinkPosition(r2), or then InsertPosition(r2), for
  // two positions whose keys start with different bytes, so that neither
  // can meet the other's tree: both walks run at once.
  void LinkPositionPair(int16_t r1, int16_t r2);
  void LinkAndInsertPosition(int16_t r1, int16_t r2);
  // Takes ring position p out of its tree; nothing when it is in none.
  void RemovePosition(int16_t p);
  // Writes the code of symbol s (of any length the model produces), then
  // counts s.
  template <class Writer> void EncodeSymbol(uint16_t s, Writer& write);
  // Writes the code of offset o (0..4095).
  template <class Writer> void EncodeOffset(uint16_t o, Writer& write);

  // --- State ---
  uint16_t InBits = 0;      // input bit register, valid bits from bit 15 down
  uint8_t InBitCount = 0;   // valid bits in InBits
  uint8_t OutBitCount = 0;  // pending bits at the top of OutBits
  uint16_t OutBits = 0;     // output bit register
  int32_t TextSize = 0;     // encoder: input bytes consumed
  int16_t MatchOffset = 0;  // encoder: offset of the last match found
  int16_t MatchLength = 0;  // encoder: its length
  // Tables, held only during a call.
  uint8_t* Ring = nullptr;         // RingSize + MirrorBytes
  int16_t* LeftChild = nullptr;    // RingSize + 1
  int16_t* TreeParent = nullptr;   // RingSize + 1 (entry NilNode is scratch)
  int16_t* RightChild = nullptr;   // RingSize + 1 + 256 (tree roots at TreeRootSlot)
  uint16_t* Frequency = nullptr;   // NodeCount + 1 (sentinel 0xFFFF at the end)
  int16_t* HuffParent = nullptr;   // NodeCount + SymbolCount (leaf nodes from NodeCount)
  int16_t* HuffChild = nullptr;    // NodeCount

private:
  // Fills the window for a new stream: FillByte up to FirstRingPosition, 0 in
  // the positions no data has reached yet (and in the mirror bytes).
  void InitRing();
  template <class Reader> void Refill(Reader& read);
  // Leaves a walk's best match score in MatchLength / MatchOffset.
  void TakeMatch(int best);
  template <class Writer> static void PutByte(uint8_t b, Writer& write);
  template <class Reader> static bool GetByte(uint8_t& b, Reader& read);
};

#include "lzh/lzh_impl.h"
