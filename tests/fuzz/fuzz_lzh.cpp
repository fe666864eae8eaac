// Fuzz target: TLZH::DecodeStream with an arbitrary original size.
//
// The first four bytes of the input are the original size (little-endian,
// signed, as in a stream header); the rest is the bit stream. Sizes above
// kSizeCap are folded into 0..kSizeCap (size % (kSizeCap + 1)) so that a run
// cannot exhaust memory or time: the decoder produces its whole size even
// from an empty bit stream, since missing input reads as zero bits. Negative
// sizes are kept: they must decode nothing.
//
// Both callback forms are driven (the templated functors through the
// TReadBytesProc / TWriteBytesProc form on odd sizes, the plain functors on
// even ones), and each run checks:
// - a size of 0 or less writes nothing;
// - otherwise at least the size and at most 59 bytes more are written (a
//   final match may run past the size);
// - the input is read byte by byte from its start and, once it is exhausted,
//   the reader is asked again and answered with nothing.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_support.h"
#include "lzh/lzh.h"

namespace {

constexpr int32_t kSizeCap = 128 * 1024;

struct Reader {
  const uint8_t* data;
  std::size_t size;
  std::size_t pos = 0;
  std::size_t callsPastEnd = 0;
  void operator()(uint8_t* buffer, uint16_t count, uint16_t& delivered) {
    FUZZ_CHECK(count == 1);
    if (pos >= size) {
      ++callsPastEnd;
      delivered = 0;
      return;
    }
    *buffer = data[pos++];
    delivered = 1;
  }
};

struct Writer {
  std::vector<uint8_t> out;
  void operator()(const uint8_t* buffer, uint16_t count, uint16_t& written) {
    FUZZ_CHECK(count == 1);
    out.push_back(*buffer);
    written = count;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  int32_t originalSize = LoadLe32(data);
  if (originalSize > kSizeCap) originalSize %= kSizeCap + 1;

  Reader reader{data + 4, size - 4};
  Writer writer;
  TLZH codec;
  if (originalSize & 1) {
    TReadBytesProc read{&reader, [](void* self, uint8_t* b, uint16_t c, uint16_t& d) {
                          (*static_cast<Reader*>(self))(b, c, d);
                        }};
    TWriteBytesProc write{&writer, [](void* self, const uint8_t* b, uint16_t c, uint16_t& w) {
                            (*static_cast<Writer*>(self))(b, c, w);
                          }};
    codec.DecodeStream(originalSize, read, write);
  } else {
    codec.DecodeStream(originalSize, reader, writer);
  }

  if (originalSize <= 0) {
    FUZZ_CHECK(writer.out.empty());
    FUZZ_CHECK(reader.pos == 0);
  } else {
    FUZZ_CHECK(writer.out.size() >= static_cast<std::size_t>(originalSize));
    FUZZ_CHECK(writer.out.size() <= static_cast<std::size_t>(originalSize) + 59);
  }
  // Tables are held only during a call.
  FUZZ_CHECK(codec.Ring == nullptr && codec.HuffChild == nullptr && codec.Frequency == nullptr);
  return 0;
}
