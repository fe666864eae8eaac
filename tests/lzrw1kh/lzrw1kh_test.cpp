// Tests of the LZRW1/KH block codec: exact block strings for the boundary
// cases, the format's invariants and a literal reference encoder on seeded
// random inputs, and a decoder that stays inside its buffers on malformed
// input. Random tests print their seed; LZRW1KH_SEED=<n> replays one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "lzrw1kh/lzrw1kh.h"
#include "platform/memory.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kCanary = 0xA5;

Bytes Repeat(uint8_t b, size_t count) { return Bytes(count, b); }

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A heap block of exactly `size` bytes, so that a sanitizer build reports any
// access past it (a vector may hold spare capacity; new[] does not).
struct ExactBuffer {
  explicit ExactBuffer(size_t size, uint8_t fill = 0) : data(new uint8_t[size]), size(size) {
    std::fill_n(data.get(), size, fill);
  }
  explicit ExactBuffer(const Bytes& bytes) : ExactBuffer(bytes.size()) {
    std::copy(bytes.begin(), bytes.end(), data.get());
  }
  std::unique_ptr<uint8_t[]> data;
  size_t size;
};

// CompressBlock into a destination of exactly n + CompressSlack bytes.
Bytes Compress(TLZR& lzr, const Bytes& in) {
  const ExactBuffer src(in);
  ExactBuffer dst(in.size() + TLZR::CompressSlack);
  const uint16_t len = lzr.CompressBlock(src.data.get(), dst.data.get(), uint16_t(in.size()));
  EXPECT_GE(len, 1u);
  EXPECT_LE(len, in.size() + 1);
  return Bytes(dst.data.get(), dst.data.get() + std::min<size_t>(len, dst.size));
}

Bytes Compress(const Bytes& in) {
  TLZR lzr;
  return Compress(lzr, in);
}

// DecompressBlock from an exact copy of the block into a destination of
// `capacity` bytes followed by canary bytes, which must stay untouched.
constexpr size_t kCanaryBytes = 32;

Bytes Decompress(const Bytes& block, uint32_t capacity) {
  const ExactBuffer src(block);
  ExactBuffer dst(size_t(capacity) + kCanaryBytes, kCanary);
  const uint16_t len =
      TLZR::DecompressBlock(src.data.get(), dst.data.get(), uint16_t(block.size()), capacity);
  EXPECT_LE(len, capacity);
  for (size_t i = capacity; i < dst.size; ++i)
    if (dst.data[i] != kCanary) {
      ADD_FAILURE() << "written past the destination at " << i << " (capacity " << capacity << ")";
      break;
    }
  return Bytes(dst.data.get(), dst.data.get() + std::min<size_t>(len, capacity));
}

Bytes Decompress(const Bytes& block) { return Decompress(block, TLZR::MaxBlock); }

// One item of a compressed block, as read back by ParseCompressed.
struct Item {
  enum Kind { Literal, Match, Run } kind;
  uint32_t distance = 0;  // Match
  uint32_t length = 0;    // Match and Run: bytes produced (1 for a literal)
  uint8_t byte = 0;       // Literal and Run
};

// Reads a compressed block the strict way and reports every departure from
// the format the compressor promises: groups of 1..16 items under their
// control word, the bits of missing items 0, distances 1..4095 that stay
// inside the output, match lengths 3..18, run counts 16..4095, and no byte
// left over.
std::vector<Item> ParseCompressed(const Bytes& block) {
  std::vector<Item> items;
  EXPECT_GE(block.size(), 4u);
  EXPECT_EQ(block[0], 0x40);
  size_t x = 1;
  uint32_t produced = 0;
  while (x < block.size()) {
    if (block.size() - x < 3) {
      ADD_FAILURE() << "a control word without an item at offset " << x;
      return items;
    }
    const uint16_t control = uint16_t(block[x] << 8 | block[x + 1]);
    x += 2;
    int inGroup = 0;
    for (; inGroup < 16 && x < block.size(); ++inGroup) {
      const bool copy = (control << inGroup) & 0x8000;
      if (!copy) {
        items.push_back({Item::Literal, 0, 1, block[x]});
        x += 1;
        produced += 1;
        continue;
      }
      if (block.size() - x < 2) {
        ADD_FAILURE() << "copy item cut off at offset " << x;
        return items;
      }
      const uint32_t distance = block[x] * 16u + (block[x + 1] >> 4);
      if (distance != 0) {
        const uint32_t length = (block[x + 1] & 15u) + 3;
        EXPECT_LE(distance, produced) << "match reaches before the block at offset " << x;
        items.push_back({Item::Match, distance, length, 0});
        x += 2;
        produced += length;
      } else {
        if (block.size() - x < 4) {
          ADD_FAILURE() << "run item cut off at offset " << x;
          return items;
        }
        const uint32_t count = (block[x + 1] << 8 | block[x + 2]) + 16u;
        EXPECT_LE(count, 4095u) << "run longer than the compressor writes at offset " << x;
        items.push_back({Item::Run, 0, count, block[x + 3]});
        x += 4;
        produced += count;
      }
    }
    EXPECT_GE(inGroup, 1);
    if (inGroup < 16) {
      EXPECT_EQ(x, block.size()) << "short group before the end";
      EXPECT_EQ(uint16_t(control << inGroup), 0) << "bits set for missing items";
    }
  }
  return items;
}

// The compressor written out plainly, for comparison: growing output, a table
// of ints, and no probe where fewer than three bytes are left (the codec
// hashes the missing bytes as 0 there instead; the output must not differ).
Bytes ReferenceCompress(const Bytes& s) {
  const int n = int(s.size());
  std::vector<int> table(4096, -1);
  Bytes out{0x40, 0, 0};
  size_t control = 1;
  int items = 0;
  uint32_t acc = 0;
  int x = 0;
  while (x < n && int(out.size()) <= n) {
    if (items == 16) {
      out[control] = uint8_t(acc >> 8);
      out[control + 1] = uint8_t(acc);
      control = out.size();
      out.insert(out.end(), {0, 0});
      items = 0;
    }
    int k = 1;
    while (k < 4095 && x + k < n && s[x + k] == s[x]) ++k;
    int length = 0;
    int from = 0;
    if (k < 16 && x + 2 < n) {
      const int h = TLZR::Hash(s[x], s[x + 1], s[x + 2]);
      from = table[h];
      table[h] = x;
      if (from >= 0 && x - from < 4096)
        while (length < 18 && x + length < n && s[x + length] == s[from + length]) ++length;
    }
    if (k >= 16) {
      out.insert(out.end(), {0, uint8_t((k - 16) >> 8), uint8_t(k - 16), s[x]});
      x += k;
      acc = (acc << 1 | 1) & 0xFFFF;
    } else if (length >= 3) {
      const int word = (x - from) * 16 + (length - 3);
      out.insert(out.end(), {uint8_t(word >> 8), uint8_t(word)});
      x += length;
      acc = (acc << 1 | 1) & 0xFFFF;
    } else {
      out.push_back(s[x]);
      x += 1;
      acc = (acc << 1) & 0xFFFF;
    }
    ++items;
  }
  acc = (acc << (16 - items)) & 0xFFFF;
  out[control] = uint8_t(acc >> 8);
  out[control + 1] = uint8_t(acc);
  if (int(out.size()) <= n) return out;
  return Cat({{0x80}, s});
}

// Compresses, checks the block against the format and the reference encoder,
// and decodes it back into exactly n bytes.
void CheckRoundTrip(TLZR& lzr, const Bytes& in) {
  const Bytes block = Compress(lzr, in);
  ASSERT_FALSE(block.empty());
  EXPECT_EQ(block, ReferenceCompress(in));
  if (block[0] == 0x80) {
    EXPECT_EQ(block.size(), in.size() + 1);
    EXPECT_TRUE(std::equal(in.begin(), in.end(), block.begin() + 1));
  } else {
    EXPECT_LE(block.size(), in.size()) << "a compressed form longer than its input";
    uint32_t produced = 0;
    for (const Item& item : ParseCompressed(block)) produced += item.length;
    EXPECT_EQ(produced, in.size());
  }
  EXPECT_EQ(Decompress(block, uint32_t(in.size())), in);
}

uint32_t TestSeed() {
  uint32_t seed = 20261211;
  if (const char* env = std::getenv("LZRW1KH_SEED")) seed = uint32_t(std::strtoul(env, nullptr, 0));
  std::printf("random seed %u (LZRW1KH_SEED=%u replays it)\n", seed, seed);
  return seed;
}

// Inputs of the kinds the codec meets: noise, small alphabets, text, runs,
// long-period repeats, and pieces of all of these joined.
class InputMaker {
public:
  explicit InputMaker(uint32_t seed) : rng_(seed) {}

  uint32_t Below(uint32_t bound) { return std::uniform_int_distribution<uint32_t>(0, bound - 1)(rng_); }

  size_t Size() {
    static const size_t edges[] = {0,  1,  2,    3,    4,    5,    6,     7,     15,   16,
                                   17, 18, 19,   31,   32,   33,   4094,  4095,  4096, 4097,
                                   4111, 4112, 8191, 8192, 16384, 32767, 32768};
    switch (Below(3)) {
      case 0: return edges[Below(std::size(edges))];
      case 1: return Below(300);
      default: return Below(TLZR::MaxBlock + 1);
    }
  }

  Bytes Make(size_t n) {
    Bytes out;
    switch (Below(6)) {
      case 0: Noise(out, n, 256); break;
      case 1: Noise(out, n, 2 + Below(6)); break;
      case 2: Text(out, n); break;
      case 3: Runs(out, n); break;
      case 4: Periodic(out, n); break;
      default:
        while (out.size() < n) {
          const size_t piece = std::min<size_t>(n - out.size(), 1 + Below(3000));
          switch (Below(4)) {
            case 0: Noise(out, piece, 256); break;
            case 1: Text(out, piece); break;
            case 2: Runs(out, piece); break;
            default: Periodic(out, piece); break;
          }
        }
    }
    out.resize(n);
    return out;
  }

private:
  void Noise(Bytes& out, size_t n, uint32_t alphabet) {
    for (size_t i = 0; i < n; ++i) out.push_back(uint8_t(Below(alphabet)));
  }
  void Text(Bytes& out, size_t n) {
    static const char* words[] = {"the ", "installer ", "unpacks ", "setup.exe ", "into ",
                                  "C:\\WINDOWS\\SYSTEM\\", "a ", "block ", "of ", "data\r\n"};
    const size_t end = out.size() + n;
    while (out.size() < end) {
      const char* w = words[Below(std::size(words))];
      out.insert(out.end(), w, w + std::char_traits<char>::length(w));
    }
    out.resize(end);
  }
  void Runs(Bytes& out, size_t n) {
    const size_t end = out.size() + n;
    while (out.size() < end) {
      const uint32_t len = Below(4) == 0 ? 1 + Below(5000) : 1 + Below(20);
      out.insert(out.end(), std::min<size_t>(len, end - out.size()), uint8_t(Below(4)));
    }
  }
  void Periodic(Bytes& out, size_t n) {
    const uint32_t period = Below(2) ? 4090 + Below(12) : 1 + Below(200);
    Bytes pattern;
    Noise(pattern, period, 256);
    for (size_t i = 0; i < n; ++i)
      out.push_back(Below(50) == 0 ? uint8_t(Below(256)) : pattern[i % period]);
  }

  std::mt19937 rng_;
};

// ---------------------------------------------------------------- the hash

TEST(Lzrw1khHash, IsBitsFourToFifteenOfTheProduct) {
  EXPECT_EQ(TLZR::Hash(0, 0, 0), 0);
  EXPECT_EQ(TLZR::Hash(1, 2, 3), 95);
  EXPECT_EQ(TLZR::Hash(255, 255, 255), 1401);
  EXPECT_EQ(TLZR::Hash('a', 'b', 'c'), 2749);
  for (int b0 = 0; b0 < 256; b0 += 17)
    for (int b1 = 0; b1 < 256; b1 += 13)
      for (int b2 = 0; b2 < 256; b2 += 11) EXPECT_LT(TLZR::Hash(b0, b1, b2), TLZR::HashSlots);
}

// ---------------------------------------------------------- construction

TEST(Lzrw1khConstruction, ReportsAMissingHashTable) {
  InjectAllocFailure(0);
  try {
    TLZR lzr;
    InjectAllocFailure(-1);
    FAIL() << "constructed without a hash table";
  } catch (const ELzrw1KHCompressor& e) {
    EXPECT_EQ(e.Message(), "LZRW1KH : no memory for HASH table");
  }
  InjectAllocFailure(-1);
  TLZR lzr;  // and works again once memory is there
  EXPECT_EQ(Compress(lzr, Repeat('x', 16)), (Bytes{64, 128, 0, 0, 0, 0, 'x'}));
}

// ------------------------------------------------- exact block strings

// "abc", a run of 'z' up to `distance`, then "abc" again. Runs are not entered
// in the table, so the slot of "abc" still holds position 0 there.
Bytes AbcAgainAfter(size_t distance) { return Cat({Str("abc"), Repeat('z', distance - 3), Str("abc")}); }

// `runs` runs of 16 bytes, each of its own value: one 4-byte item apiece.
Bytes DistinctRuns(int runs) {
  Bytes in;
  for (int i = 0; i < runs; ++i) in.insert(in.end(), 16, uint8_t('A' + i));
  return in;
}
Bytes RunItemsOfDistinctRuns(int from, int to) {
  Bytes items;
  for (int i = from; i < to; ++i) items.insert(items.end(), {0, 0, 0, uint8_t('A' + i)});
  return items;
}

struct BlockVector {
  const char* name;
  Bytes input;
  Bytes block;
};

std::vector<BlockVector> BlockVectors() {
  return {
      {"empty input: the stored flag alone", {}, {0x80}},
      {"one byte is stored", {65}, {0x80, 65}},
      {"two bytes are stored", {1, 2}, {0x80, 1, 2}},
      {"two equal bytes are stored", {7, 7}, {0x80, 7, 7}},
      {"5 equal bytes: the compressed form would be longer", Repeat('x', 5), Cat({{0x80}, Repeat('x', 5)})},
      {"6 equal bytes: as long as the input, so compressed", Repeat('x', 6),
       {0x40, 0x40, 0x00, 'x', 0x00, 0x12}},
      {"15 equal bytes: a literal, then distance 1 length 14 (word 27)", Repeat('x', 15),
       {64, 64, 0, 'x', 0, 27}},
      {"16 equal bytes: one run", Repeat('x', 16), {64, 128, 0, 0, 0, 0, 'x'}},
      {"4096 equal bytes: a capped run and a literal too short to match", Repeat('x', 4096),
       {64, 128, 0, 0, 15, 239, 'x', 'x'}},
      {"5000 equal bytes: runs of 4095 and 905", Repeat('x', 5000),
       {64, 192, 0, 0, 15, 239, 'x', 0, 3, 121, 'x'}},
      {"a repeat 4095 bytes back is a match (word 0xFFF0)", AbcAgainAfter(4095),
       {0x40, 0x18, 0x00, 'a', 'b', 'c', 0x00, 0x0F, 0xEC, 'z', 0xFF, 0xF0}},
      {"a repeat 4096 bytes back is three literals", AbcAgainAfter(4096),
       {0x40, 0x10, 0x00, 'a', 'b', 'c', 0x00, 0x0F, 0xED, 'z', 'a', 'b', 'c'}},
      {"16 items share one control word", DistinctRuns(16),
       Cat({{0x40, 0xFF, 0xFF}, RunItemsOfDistinctRuns(0, 16)})},
      {"a 17th item opens a second control word right before it", DistinctRuns(17),
       Cat({{0x40, 0xFF, 0xFF}, RunItemsOfDistinctRuns(0, 16), {0x80, 0x00},
            RunItemsOfDistinctRuns(16, 17)})},
  };
}

TEST(Lzrw1khBlockVectors, CompressToExactlyThisBlockAndDecodeBack) {
  // The positions probed before the second "abc" hash to other slots.
  ASSERT_NE(TLZR::Hash('b', 'c', 'z'), TLZR::Hash('a', 'b', 'c'));
  ASSERT_NE(TLZR::Hash('c', 'z', 'z'), TLZR::Hash('a', 'b', 'c'));
  TLZR shared;  // one instance for all, as the component uses it
  for (const BlockVector& v : BlockVectors()) {
    SCOPED_TRACE(v.name);
    EXPECT_EQ(Compress(v.input), v.block);
    EXPECT_EQ(Compress(shared, v.input), v.block);
    EXPECT_EQ(Decompress(v.block, uint32_t(v.input.size())), v.input);
  }
}

TEST(Lzrw1khCompress, RandomBytesAreStored) {
  std::mt19937 rng(TestSeed());
  Bytes in(TLZR::MaxBlock);
  for (uint8_t& b : in) b = uint8_t(rng());
  const Bytes block = Compress(in);
  ASSERT_EQ(block.size(), 32769u);
  EXPECT_EQ(block[0], 0x80);
  EXPECT_TRUE(std::equal(in.begin(), in.end(), block.begin() + 1));
  EXPECT_EQ(Decompress(block), in);
}

TEST(Lzrw1khCompress, StartsEveryBlockFromAnEmptyTable) {
  TLZR shared;
  const Bytes first = Cat({Str("0123456789"), Repeat('-', 40)});
  const Bytes second = Str("0123456789 again 0123456789");
  Compress(shared, first);
  EXPECT_EQ(Compress(shared, second), Compress(second));
  EXPECT_EQ(Compress(shared, first), Compress(first));
}

TEST(Lzrw1khCompress, ReadsNothingPastTheSource) {
  // Each source is an exact heap block: a sanitizer build reports a read
  // past it, such as hashing the bytes after the last position.
  TLZR lzr;
  for (size_t n = 0; n <= 64; ++n) {
    CheckRoundTrip(lzr, Repeat('q', n));
    Bytes abab;
    for (size_t i = 0; i < n; ++i) abab.push_back(uint8_t("ab"[i % 2]));
    CheckRoundTrip(lzr, abab);
  }
}

// 128 bytes that repeat no three-byte sequence, then a run of 17: after the
// eighth group of literals the output is exactly as long as the input, so the
// loop goes on, opens a control word and writes the run past the stored
// form's length, up to the last byte of the slack.
Bytes WorstCaseForTheSlack() {
  Bytes in;
  for (int i = 0; i < 128; ++i) in.push_back(uint8_t(i));
  return Cat({in, Repeat(0xFF, 17)});
}

TEST(Lzrw1khCompress, TheWorstCaseUsesAllOfTheSlackAndNoMore) {
  TLZR lzr;
  const Bytes in = WorstCaseForTheSlack();
  const size_t n = in.size();
  Bytes dest(n + TLZR::CompressSlack + 64, kCanary);
  const uint16_t len = lzr.CompressBlock(in.data(), dest.data(), uint16_t(n));
  ASSERT_EQ(len, n + 1);
  EXPECT_EQ(dest[0], 0x80);
  EXPECT_TRUE(std::equal(in.begin(), in.end(), dest.begin() + 1));
  EXPECT_EQ(dest[n + TLZR::CompressSlack - 1], 0xFF) << "the run item's last byte";
  for (size_t i = n + TLZR::CompressSlack; i < dest.size(); ++i)
    ASSERT_EQ(dest[i], kCanary) << "written past the slack at " << i;
  CheckRoundTrip(lzr, in);  // and with an exact n + 6 destination
}

TEST(Lzrw1khCompress, NeverWritesPastTheSlack) {
  const uint32_t seed = TestSeed();
  InputMaker make(seed);
  TLZR lzr;
  for (int i = 0; i < 200; ++i) {
    const Bytes in = make.Make(make.Size());
    Bytes dest(in.size() + TLZR::CompressSlack + 32, kCanary);
    const uint16_t len = lzr.CompressBlock(in.data(), dest.data(), uint16_t(in.size()));
    ASSERT_LE(len, in.size() + 1) << "seed " << seed << " input " << i;
    for (size_t k = in.size() + TLZR::CompressSlack; k < dest.size(); ++k)
      ASSERT_EQ(dest[k], kCanary) << "seed " << seed << " input " << i << " byte " << k;
  }
}

// ------------------------------------------------------------ ProbeMatch

TEST(Lzrw1khProbeMatch, RecordsEveryPositionAndComparesOnlyTheLatest) {
  TLZR lzr;
  const Bytes s = Str("abcXabcYabcabcabcabcabcabcabcabcQ");
  const auto n = uint16_t(s.size());
  uint16_t pos = 999;
  uint16_t len = 999;
  EXPECT_FALSE(lzr.ProbeMatch(s.data(), 0, n, pos, len));
  EXPECT_EQ(pos, 999);  // untouched without a match
  EXPECT_EQ(len, 999);
  ASSERT_TRUE(lzr.ProbeMatch(s.data(), 4, n, pos, len));
  EXPECT_EQ(pos, 0);
  EXPECT_EQ(len, 3);
  // Position 4 replaced 0 in the slot: the next "abc" is compared with 4 only.
  ASSERT_TRUE(lzr.ProbeMatch(s.data(), 8, n, pos, len));
  EXPECT_EQ(pos, 4);
  EXPECT_EQ(len, 3);
  // Overlapping ranges, and the cap of 18 bytes.
  ASSERT_TRUE(lzr.ProbeMatch(s.data(), 11, n, pos, len));
  EXPECT_EQ(pos, 8);
  EXPECT_EQ(len, 18);
}

TEST(Lzrw1khProbeMatch, LengthStopsAtTheEndOfTheBlock) {
  TLZR lzr;
  const Bytes s = Str("xyzwxyzw");
  uint16_t pos = 0;
  uint16_t len = 0;
  EXPECT_FALSE(lzr.ProbeMatch(s.data(), 0, 8, pos, len));
  ASSERT_TRUE(lzr.ProbeMatch(s.data(), 4, 8, pos, len));
  EXPECT_EQ(len, 4);
  // The same bytes as a 7-byte block: the match shrinks with it.
  TLZR other;
  EXPECT_FALSE(other.ProbeMatch(s.data(), 0, 7, pos, len));
  ASSERT_TRUE(other.ProbeMatch(s.data(), 4, 7, pos, len));
  EXPECT_EQ(len, 3);
}

TEST(Lzrw1khProbeMatch, ACandidate4096BytesBackIsIgnoredButStillReplaced) {
  TLZR lzr;
  Bytes s(8192, 0);
  for (size_t p : {0, 4096, 8191 - 3}) std::copy_n("abc", 3, s.begin() + p);
  s[8191] = 'd';
  const auto n = uint16_t(s.size());
  uint16_t pos = 0;
  uint16_t len = 0;
  EXPECT_FALSE(lzr.ProbeMatch(s.data(), 0, n, pos, len));
  EXPECT_FALSE(lzr.ProbeMatch(s.data(), 4096, n, pos, len));  // 4096 back
  ASSERT_TRUE(lzr.ProbeMatch(s.data(), 8188, n, pos, len));   // 4092 back from 4096
  EXPECT_EQ(pos, 4096);
  EXPECT_EQ(len, 3);
}

// ------------------------------------------------------------ decoding

TEST(Lzrw1khDecompress, BlockStringsOfAtMostOneByteDecodeToNothing) {
  std::vector<Bytes> blocks{Bytes{}};
  for (int flag = 0; flag < 256; ++flag) blocks.push_back(Bytes{uint8_t(flag)});
  for (const Bytes& block : blocks) EXPECT_TRUE(Decompress(block, 8).empty()) << block.size();
}

// Valid blocks the compressor does not make, or makes only in other places.
struct DecodeVector {
  const char* name;
  Bytes block;
  Bytes output;
};

std::vector<DecodeVector> DecodeVectors() {
  const Bytes sixteen = Str("0123456789abcdef");
  return {
      {"distance 1 length 18 repeats the last byte", {0x40, 0x40, 0x00, 'q', 0x00, 0x1F}, Repeat('q', 19)},
      {"distance 2 length 7 repeats the last two", {0x40, 0x20, 0x00, 'a', 'b', 0x00, 0x24},
       Str("ababababa")},
      {"the longest run a count field holds", {0x40, 0x80, 0x00, 0x00, 0x0F, 0xFF, 'r'}, Repeat('r', 4111)},
      {"flag 0x00 means compressed", {0x00, 0x40, 0x00, 'q', 0x00, 0x1F}, Repeat('q', 19)},
      {"flag 0x41 means compressed", {0x41, 0x40, 0x00, 'q', 0x00, 0x1F}, Repeat('q', 19)},
      {"flag 0xFF means compressed", {0xFF, 0x40, 0x00, 'q', 0x00, 0x1F}, Repeat('q', 19)},
      {"flag bits left over in the last control word", {0x40, 0x7F, 0xFF, 'z'}, Str("z")},
      {"sixteen literals, then a second group",
       Cat({{0x40, 0x00, 0x00}, sixteen, {0x00, 0x00, 'g'}}), Str("0123456789abcdefg")},
      {"a stored block", {0x80, 1, 2, 3}, {1, 2, 3}},
  };
}

TEST(Lzrw1khDecompress, DecodesValidBlocksIntoExactAndShortDestinations) {
  for (const DecodeVector& v : DecodeVectors()) {
    SCOPED_TRACE(v.name);
    const auto size = uint32_t(v.output.size());
    EXPECT_EQ(Decompress(v.block, size), v.output);
    // One byte short: a shorter prefix, and nothing written past the end.
    const Bytes cut = Decompress(v.block, size - 1);
    EXPECT_LT(cut.size(), v.output.size());
    EXPECT_TRUE(std::equal(cut.begin(), cut.end(), v.output.begin()));
  }
}

// A group that stops decoding: what it adds to the output, and whether junk
// after it must be ignored. Each is decoded on its own and behind four full
// groups of literals, with and without 32 bytes of junk after it, so that
// both the loop for the tail and the one for the bulk of a block meet it.
struct HostileVector {
  const char* name;
  Bytes group;               // control word and items
  uint32_t extraCapacity;    // room beyond the bytes decoded before it
  Bytes adds;                // what the group adds before decoding stops
  bool stopsHere;            // bytes after the group are never read
};

std::vector<HostileVector> HostileVectors() {
  return {
      {"a match reaching before the output", {0x80, 0x00, 0xFF, 0xF0}, 4096, {}, true},
      {"a literal, then a match reaching before the output", {0x40, 0x00, 'a', 0xFF, 0xF0}, 4096, Str("a"), true},
      {"a match cut off by the end", {0x80, 0x00, 0x00}, 4096, {}, false},
      {"a run cut off by the end", {0x80, 0x00, 0x00, 0x00, 0x01}, 4096, {}, false},
      {"half a control word", {0x80}, 4096, {}, false},
      {"a control word and nothing behind it", {0x80, 0x00}, 4096, {}, false},
      {"a run one byte larger than the room", {0x80, 0x00, 0x00, 0x0F, 0xFF, 'r'}, 4110, {}, true},
      {"a run exactly as large as the room", {0x80, 0x00, 0x00, 0x0F, 0xFF, 'r'}, 4111, Repeat('r', 4111), false},
      {"a match one byte larger than the room", {0x40, 0x00, 'q', 0x00, 0x1F}, 18, Str("q"), true},
      {"a literal beyond the room", {0x00, 0x00, 'a', 'b'}, 1, Str("a"), true},
  };
}

TEST(Lzrw1khDecompress, StopsAtAMalformedOrOversizedItem) {
  Bytes literals;  // four groups of sixteen literals
  Bytes prefix;
  for (int g = 0; g < 4; ++g) {
    literals.insert(literals.end(), {0x00, 0x00});
    for (int i = 0; i < 16; ++i) {
      literals.push_back(uint8_t('A' + g * 16 + i));
      prefix.push_back(uint8_t('A' + g * 16 + i));
    }
  }
  const Bytes junk(32, 0x5A);
  for (const HostileVector& v : HostileVectors()) {
    for (const bool behindLiterals : {false, true}) {
      for (const bool withJunk : {false, true}) {
        if (withJunk && !v.stopsHere) continue;
        SCOPED_TRACE(std::string(v.name) + (behindLiterals ? ", behind literals" : "") +
                     (withJunk ? ", junk after it" : ""));
        const Bytes before = behindLiterals ? prefix : Bytes{};
        const Bytes block = Cat({{0x40}, behindLiterals ? literals : Bytes{}, v.group, withJunk ? junk : Bytes{}});
        EXPECT_EQ(Decompress(block, uint32_t(before.size()) + v.extraCapacity), Cat({before, v.adds}));
      }
    }
  }
}

TEST(Lzrw1khDecompress, CutsAStoredBlockToTheDestination) {
  const Bytes block{0x80, 1, 2, 3, 4, 5};
  EXPECT_EQ(Decompress(block, 5), (Bytes{1, 2, 3, 4, 5}));
  EXPECT_EQ(Decompress(block, 3), (Bytes{1, 2, 3}));
  EXPECT_TRUE(Decompress(block, 0).empty());
}

TEST(Lzrw1khDecompress, NeverDecodesMoreThanASixteenBitResultHolds) {
  // Sixteen runs of 4111: 65776 bytes, of which fifteen runs (61665) fit.
  Bytes block{0x40, 0xFF, 0xFF};
  for (int i = 0; i < 16; ++i) block.insert(block.end(), {0x00, 0x0F, 0xFF, uint8_t(i)});
  const Bytes out = Decompress(block, 70000);
  ASSERT_EQ(out.size(), 15u * 4111);
  EXPECT_EQ(out.back(), 14);
}

// ------------------------------------------------- seeded random inputs

TEST(Lzrw1khRoundTrip, MatchesTheReferenceEncoderAndDecodesBack) {
  const uint32_t seed = TestSeed();
  InputMaker make(seed);
  TLZR lzr;
  for (int i = 0; i < 400; ++i) {
    const Bytes in = make.Make(make.Size());
    SCOPED_TRACE("seed " + std::to_string(seed) + ", input " + std::to_string(i) + " of " +
                 std::to_string(in.size()) + " bytes");
    CheckRoundTrip(lzr, in);
    if (HasFatalFailure() || HasNonfatalFailure()) return;
  }
}

TEST(Lzrw1khRoundTrip, FullBlocksOfEveryKind) {
  TLZR lzr;
  CheckRoundTrip(lzr, Repeat(0, TLZR::MaxBlock));
  CheckRoundTrip(lzr, DistinctRuns(200));
  Bytes ramp(TLZR::MaxBlock);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = uint8_t(i);
  CheckRoundTrip(lzr, ramp);
  Bytes slow(TLZR::MaxBlock);
  for (size_t i = 0; i < slow.size(); ++i) slow[i] = uint8_t(i / 15);  // runs just too short
  CheckRoundTrip(lzr, slow);
}

TEST(Lzrw1khRoundTrip, DecodesIntoAnExactlySizedDestination) {
  // One byte less than the decoded size keeps the destination untouched past
  // its end and gives a strictly shorter result.
  const uint32_t seed = TestSeed();
  InputMaker make(seed);
  TLZR lzr;
  for (int i = 0; i < 100; ++i) {
    const Bytes in = make.Make(1 + make.Below(TLZR::MaxBlock));
    const Bytes block = Compress(lzr, in);
    const Bytes cut = Decompress(block, uint32_t(in.size() - 1));
    ASSERT_LT(cut.size(), in.size()) << "seed " << seed << " input " << i;
    ASSERT_TRUE(std::equal(cut.begin(), cut.end(), in.begin())) << "seed " << seed << " input " << i;
  }
}

// Programs on this machine, cut into blocks the way the component cuts its
// input, and at an odd offset; a missing file is skipped.
TEST(Lzrw1khRoundTrip, PiecesOfProgramsOnThisMachine) {
  TLZR lzr;
  int files = 0;
  for (const char* path : {"/bin/ls", "/proc/self/exe"}) {
    std::FILE* f = std::fopen(path, "rb");
    if (!f) continue;
    Bytes data(1 << 20);
    data.resize(std::fread(data.data(), 1, data.size(), f));
    std::fclose(f);
    ++files;
    for (size_t start : {size_t(0), size_t(12345)}) {
      for (size_t at = start; at < data.size(); at += TLZR::MaxBlock) {
        SCOPED_TRACE(std::string(path) + " at " + std::to_string(at));
        const size_t len = std::min<size_t>(TLZR::MaxBlock, data.size() - at);
        CheckRoundTrip(lzr, Bytes(data.begin() + at, data.begin() + at + len));
        if (HasFailure()) return;
      }
    }
  }
  if (files == 0) GTEST_SKIP() << "no program file to read";
}

// Malformed blocks: valid ones with bytes changed, cut or extended, and pure
// noise. The decoder must stay inside the exact source and destination blocks
// (a sanitizer build checks that), and with less room it must produce a
// prefix of what it produces with more.
TEST(Lzrw1khRoundTrip, MalformedBlocksStayInsideTheirBuffers) {
  const uint32_t seed = TestSeed();
  InputMaker make(seed);
  TLZR lzr;
  for (int i = 0; i < 3000; ++i) {
    Bytes block;
    if (make.Below(8) == 0) {
      block.resize(make.Below(300));
      for (uint8_t& b : block) b = uint8_t(make.Below(256));
      if (!block.empty()) block[0] = 0x40;
    } else {
      block = Compress(lzr, make.Make(make.Below(make.Below(2) ? 400 : TLZR::MaxBlock + 1)));
      if (block.size() > 1) block[0] = uint8_t(make.Below(4) ? 0x40 : make.Below(256));
      const uint32_t edits = 1 + make.Below(4);
      for (uint32_t e = 0; e < edits && !block.empty(); ++e) {
        switch (make.Below(3)) {
          case 0: block[make.Below(uint32_t(block.size()))] = uint8_t(make.Below(256)); break;
          case 1: block.resize(make.Below(uint32_t(block.size()) + 1)); break;
          default: block.push_back(uint8_t(make.Below(256))); break;
        }
      }
    }
    const Bytes full = Decompress(block, 0xFFFF);
    const uint32_t capacity = make.Below(2) ? make.Below(64) : make.Below(0x10000);
    const Bytes part = Decompress(block, capacity);
    ASSERT_LE(part.size(), std::min<size_t>(capacity, full.size())) << "seed " << seed << " block " << i;
    ASSERT_TRUE(std::equal(part.begin(), part.end(), full.begin())) << "seed " << seed << " block " << i;
  }
}

}  // namespace
