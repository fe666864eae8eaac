// Shared pieces of the fuzz targets: the abort that reports a broken
// invariant, a bounded output stream, and the stub that the archive target
// puts in front of every archive (the seed generator uses the same one).
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/stream.h"

// A broken invariant: say which, then abort so that libFuzzer (or the replay
// driver, or CTest) records the input as a crash.
#define FUZZ_CHECK(cond)                                                           \
  do {                                                                             \
    if (!(cond)) {                                                                 \
      std::fprintf(stderr, "%s:%d: fuzz invariant failed: %s\n", __FILE__, __LINE__, \
                   #cond);                                                         \
      std::abort();                                                                \
    }                                                                              \
  } while (0)

// An output stream that keeps at most `cap` bytes: a write that would pass the
// cap writes nothing and answers -1, as a full disk would. Streams may claim
// up to 2 GiB of output in their header, so without the cap a few bytes of
// input could make one run allocate that much.
class TCappedStream : public TStream {
public:
  explicit TCappedStream(std::size_t cap) : cap_(cap) {}
  int32_t Read(void*, int32_t) override { return -1; }
  int32_t Write(const void* buffer, int32_t count) override {
    if (count < 0 || static_cast<std::size_t>(count) > cap_ - data_.size()) return -1;
    const auto* p = static_cast<const uint8_t*>(buffer);
    data_.insert(data_.end(), p, p + count);
    return count;
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    // Only position queries are expected; the component never moves its output.
    if (offset == 0 && origin != TSeekOrigin::Beginning)
      return static_cast<int64_t>(data_.size());
    return -1;
  }
  int64_t Size() override { return static_cast<int64_t>(data_.size()); }
  const std::vector<uint8_t>& Data() const { return data_; }

private:
  std::size_t cap_;
  std::vector<uint8_t> data_;
};

inline int32_t LoadLe32(const uint8_t* p) {
  return static_cast<int32_t>(uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 |
                              uint32_t{p[3]} << 24);
}

// The executable image the archive target puts in front of its input. The
// seeds of that target are archives written behind this stub with the stub
// cut off again, so that their offsets are right once it is put back.
inline std::vector<uint8_t> FuzzStub() {
  std::vector<uint8_t> stub(64, 0);
  std::memcpy(stub.data(), "MZ fuzz stub", 12);
  return stub;
}
