// Fuzz target: arbitrary bytes through Tlzrw1::Compress and back through
// Decompress, in stream mode; the result must be the bytes given.
//
// The first input byte chooses how:
//   bits 0-1  mode: 0 Good, 1 Fast, 2 and 3 Auto;
//   bit 2     tile the data (repeat it) to at least kTiledSize bytes, so that
//             Fast makes several blocks and Auto's Advise, which samples only
//             inputs of three blocks or more, really weighs the two methods;
//   bits 3-7  Threshold for Auto, 0..124 in steps of 4.
// The rest of the input is the data.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_support.h"
#include "lzrw1/lzrw1.h"

namespace {

constexpr std::size_t kTiledSize = 3 * BlockSize + 1000;

// Runs Compress or Decompress over `input` and answers the output; `consumed`
// is where the input was left.
std::vector<uint8_t> Run(Tlzrw1& component, std::vector<uint8_t> input, bool compress,
                         int64_t& consumed) {
  TMemoryStream in(std::move(input));
  TMemoryStream out;
  component.UseStream = true;
  component.InputStream = &in;
  component.OutputStream = &out;
  const int32_t result = compress ? component.Compress() : component.Decompress();
  if (component.Failed())
    std::fprintf(stderr, "%s failed: %s\n", compress ? "Compress" : "Decompress",
                 component.FailureMessage().c_str());
  FUZZ_CHECK(!component.Failed());
  FUZZ_CHECK(static_cast<std::size_t>(result) == out.Data().size());
  consumed = in.Position();
  return std::move(out.Data());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t options = data[0];
  const TCompressMode modes[] = {TCompressMode::Good, TCompressMode::Fast, TCompressMode::Auto,
                                 TCompressMode::Auto};
  const TCompressMode mode = modes[options & 3];

  std::vector<uint8_t> original(data + 1, data + size);
  if ((options & 4) && !original.empty()) {
    const std::size_t piece = original.size();
    while (original.size() < kTiledSize)
      original.insert(original.end(), original.begin(), original.begin() + piece);
  }

  Tlzrw1 component;
  component.CompressMode = mode;
  component.Threshold = (options >> 3) * 4;
  int64_t consumed = 0;
  const std::vector<uint8_t> packed = Run(component, original, true, consumed);
  FUZZ_CHECK(consumed == static_cast<int64_t>(original.size()));

  FUZZ_CHECK(packed.size() >= 8);
  const int32_t header = LoadLe32(packed.data() + 4);
  FUZZ_CHECK(header == static_cast<int32_t>(original.size()));
  const uint32_t magic = static_cast<uint32_t>(LoadLe32(packed.data()));
  if (mode == TCompressMode::Good) FUZZ_CHECK(magic == LzhSignature);
  if (mode == TCompressMode::Fast) FUZZ_CHECK(magic == Lzrw1KhSignature);
  FUZZ_CHECK(magic == LzhSignature || magic == Lzrw1KhSignature);

  // A fresh component decodes it, as the unpacker would.
  Tlzrw1 reader;
  const std::vector<uint8_t> back = Run(reader, packed, false, consumed);
  // A block stream is read exactly. An LZH stream is read in batches up to
  // the end of the input, except for empty data: the decoder then reads
  // nothing past the header, not even the encoder's few bytes.
  if (magic == LzhSignature && original.empty())
    FUZZ_CHECK(consumed == 8);
  else
    FUZZ_CHECK(consumed == static_cast<int64_t>(packed.size()));
  if (back != original) {
    std::fprintf(stderr, "round trip mismatch: %zu bytes in, %zu back\n", original.size(),
                 back.size());
    std::abort();
  }
  return 0;
}
