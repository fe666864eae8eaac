// LZRW1/KH block codec: one block of at most 32768 bytes becomes a
// self-contained block string (flag byte 0x40 + groups of a big-endian 16-bit
// control word and up to 16 items, or flag 0x80 + the bytes stored), and back.
#pragma once
#include <cstdint>

#include "platform/exception.h"

class ELzrw1KHCompressor : public Exception {
public:
  using Exception::Exception;
};

class TLZR {
public:
  static constexpr uint16_t HashSlots = 4096;
  static constexpr uint16_t EmptySlot = 65535;
  static constexpr uint16_t MaxBlock = 32768;
  // Room CompressBlock needs in its destination beyond the source length.
  static constexpr uint16_t CompressSlack = 6;

  // Obtains the hash table; throws ELzrw1KHCompressor
  // "LZRW1KH : no memory for HASH table" when it cannot.
  TLZR();
  ~TLZR();
  TLZR(const TLZR&) = delete;
  TLZR& operator=(const TLZR&) = delete;

  // Compresses n (0..32768) bytes of source into dest, which must have room
  // for n + CompressSlack bytes: the compressed form may run that far before
  // it falls back to the stored form. Returns the block string's length
  // (1..n+1): the compressed form when it is no longer than n, else the
  // stored form. Never fails; reads no byte of source past n.
  uint16_t CompressBlock(const uint8_t* source, uint8_t* dest, uint16_t n);

  // Decodes the block string source[0..n) into dest, which has room for
  // destCapacity bytes. Never reads outside source nor writes outside dest,
  // whatever the input: a malformed block ends decoding early and the result
  // is the number of bytes decoded so far. Returns the decoded length.
  // Malformed means an item cut off by the end of the source, a match reaching
  // before the start of the output, or an item that does not fit in the
  // destination; such an item is not decoded at all. A stored block longer
  // than the destination is cut to it. At most 65535 bytes are decoded, since
  // the result is 16-bit: destCapacity counts as min(destCapacity, 65535).
  // A block string of 0 or 1 bytes decodes to nothing; a flag byte other than
  // 0x80 (stored) is read as the compressed form. Bytes of dest past the
  // result, up to destCapacity, may be overwritten. Uses no instance state.
  static uint16_t DecompressBlock(const uint8_t* source, uint8_t* dest, uint16_t n,
                                  uint32_t destCapacity);

  // The 12-bit hash of the three bytes at a position.
  static uint16_t Hash(uint8_t b0, uint8_t b1, uint8_t b2) {
    const uint32_t v = ((((uint32_t(b0) << 4) ^ b1) << 4) ^ b2) & 0xFFFF;
    return static_cast<uint16_t>(((v * 40543u) >> 4) & 0x0FFF);
  }

  // Looks up position p (< n) of an n-byte block, records p in the hash table
  // in every case, and reports a match of 3..18 bytes (at most n - p) starting
  // at matchPos, the position the slot held, 1..4095 bytes before p. There is
  // no search: only that one earlier position is compared. matchPos and
  // matchLen are left alone when there is no match.
  bool ProbeMatch(const uint8_t* source, uint16_t p, uint16_t n, uint16_t& matchPos,
                  uint16_t& matchLen);

private:
  uint16_t* HashTable = nullptr;
};
