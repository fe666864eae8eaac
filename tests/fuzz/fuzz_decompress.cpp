// Fuzz target: Tlzrw1::Decompress in stream mode over arbitrary bytes.
//
// The input is the compressed stream itself; the seeds are real streams of
// both methods ("!HZL" and "WRZL"), so both decoders are reached. Decompress
// must return normally (stream mode absorbs every failure of the data), and:
// - its result is the number of bytes that reached the output;
// - a run that reports no failure delivered exactly the size in the header;
// - it never reads past the input (the position stays inside it).
// The output keeps at most kOutputCap bytes (see TCappedStream): a header may
// announce up to 2 GiB, and without the cap a tiny input could make one run
// allocate that much. Writes past the cap fail as a full disk would, which
// the component reports as a write error.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_support.h"
#include "lzrw1/lzrw1.h"

namespace {
// One full batch (or block) and a good part of the next: enough for the paths
// that go from one to the next, small enough to keep runs quick.
constexpr std::size_t kOutputCap = 48 * 1024;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TMemoryStream in(std::vector<uint8_t>(data, data + size));
  TCappedStream out(kOutputCap);
  Tlzrw1 component;
  component.UseStream = true;
  component.InputStream = &in;
  component.OutputStream = &out;

  const int32_t result = component.Decompress();

  FUZZ_CHECK(result >= 0);
  FUZZ_CHECK(static_cast<std::size_t>(result) == out.Data().size());
  FUZZ_CHECK(component.BytesWritten <= result);
  const int64_t position = in.Position();
  FUZZ_CHECK(position >= 0 && position <= static_cast<int64_t>(size));
  if (!component.Failed()) {
    FUZZ_CHECK(size >= 8);
    FUZZ_CHECK(result == LoadLe32(data + 4));
    FUZZ_CHECK(component.BytesWritten == result);
  } else {
    FUZZ_CHECK(!component.FailureMessage().empty());
  }
  return 0;
}
