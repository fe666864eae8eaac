// LZH codec: LZSS over a 4096-byte window with matches of 3..60 bytes, whose
// literals and lengths share one adaptive Huffman code of 314 symbols and
// whose offsets carry a fixed prefix code for their upper six bits.
//
// The codec reads and writes one byte per callback call. The callbacks are
// template parameters so that the component's buffered reader and writer are
// inlined into the hot loops; TReadBytesProc / TWriteBytesProc are the plain
// callback form, one instantiation of the same code.
#pragma once
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

// (The helper that implements the codec completes this class; the component
// relies only on the four DecodeStream / EncodeStream forms below.)
class TLZH {
public:
  // Reader: read(uint8_t* buffer, uint16_t count, uint16_t& delivered)
  // Writer: write(const uint8_t* buffer, uint16_t count, uint16_t& written)
  template <class Reader, class Writer>
  void DecodeStream(int32_t originalSize, Reader& read, Writer& write);
  template <class Reader, class Writer>
  void EncodeStream(int32_t& bytesRead, Reader& read, Writer& write);

  void DecodeStream(int32_t originalSize, TReadBytesProc read, TWriteBytesProc write);
  void EncodeStream(int32_t& bytesRead, TReadBytesProc read, TWriteBytesProc write);
};
