#include "lzh/lzh.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/memory.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes FromString(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes FromHex(std::string_view hex) {
  std::string digits;
  for (char c : hex)
    if (c != ' ') digits += c;
  Bytes out;
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return out;
}

// Bits written most significant first, last byte padded with zeros; spaces
// are ignored.
Bytes FromBits(std::string_view bits) {
  Bytes out;
  int n = 0;
  for (char c : bits) {
    if (c == ' ') continue;
    if (n % 8 == 0) out.push_back(0);
    if (c == '1') out.back() |= static_cast<uint8_t>(0x80 >> (n % 8));
    ++n;
  }
  return out;
}

// Delivers one byte per call and nothing at the end; counts its calls.
struct MemoryReader {
  const Bytes* Data;
  size_t Pos = 0;
  size_t Calls = 0;
  void operator()(uint8_t* buffer, uint16_t count, uint16_t& delivered) {
    ++Calls;
    EXPECT_EQ(count, 1);
    if (Pos < Data->size()) {
      *buffer = (*Data)[Pos++];
      delivered = 1;
    } else {
      delivered = 0;
    }
  }
};

struct VectorWriter {
  Bytes Out;
  void operator()(const uint8_t* buffer, uint16_t count, uint16_t& written) {
    EXPECT_EQ(count, 1);
    Out.insert(Out.end(), buffer, buffer + count);
    written = count;
  }
};

Bytes Encode(const Bytes& input, int32_t* bytesRead = nullptr) {
  TLZH codec;
  MemoryReader reader{&input};
  VectorWriter writer;
  int32_t consumed = -1;
  codec.EncodeStream(consumed, reader, writer);
  if (bytesRead) *bytesRead = consumed;
  return writer.Out;
}

Bytes Decode(const Bytes& stream, int32_t size, size_t* readCalls = nullptr) {
  TLZH codec;
  MemoryReader reader{&stream};
  VectorWriter writer;
  codec.DecodeStream(size, reader, writer);
  if (readCalls) *readCalls = reader.Calls;
  return writer.Out;
}

// One token of the bit stream: a literal (Length 1, Value = the byte) or a
// match (Length 3..60, Value = its offset).
struct Token {
  int Length;
  int Value;
  bool operator==(const Token&) const = default;
};
Token Lit(char c) { return {1, static_cast<uint8_t>(c)}; }
Token Match(int length, int offset) { return {length, offset}; }

void PrintTo(const Token& t, std::ostream* os) {
  if (t.Length == 1)
    *os << "literal " << t.Value;
  else
    *os << "match " << t.Length << "@" << t.Value;
}

// Holds a codec's tables for tests that drive its building blocks.
class CodecTables {
public:
  CodecTables() {
    Codec.AllocTables();
    Codec.InitHuffman();
  }
  ~CodecTables() { Codec.FreeTables(); }
  TLZH Codec;
};

int LeafDepth(const TLZH& codec, int symbol) {
  int depth = 0;
  for (int k = codec.HuffParent[symbol + TLZH::NodeCount]; k != TLZH::RootNode; k = codec.HuffParent[k])
    ++depth;
  return depth;
}

// Reads a stream token by token with the codec's own building blocks and
// notes how many bits each symbol code took.
struct Trace {
  std::vector<Token> Tokens;
  std::vector<int> CodeLengths;
};
Trace TraceStream(const Bytes& stream, int32_t size) {
  CodecTables t;
  MemoryReader reader{&stream};
  Trace trace;
  auto bitsUsed = [&] { return static_cast<int64_t>(reader.Calls) * 8 - t.Codec.InBitCount; };
  for (int32_t count = 0; count < size;) {
    const int64_t before = bitsUsed();
    const int s = t.Codec.DecodeSymbol(reader);
    trace.CodeLengths.push_back(static_cast<int>(bitsUsed() - before));
    if (s < 256) {
      trace.Tokens.push_back({1, s});
      ++count;
    } else {
      trace.Tokens.push_back({s - 253, t.Codec.DecodeOffset(reader)});
      count += s - 253;
    }
  }
  return trace;
}

// Writes tokens as a stream with the codec's symbol and offset writers.
// maxCodeLength, when given, receives the longest symbol code written.
Bytes BuildStream(const std::vector<Token>& tokens, int* maxCodeLength = nullptr) {
  CodecTables t;
  VectorWriter writer;
  int longest = 0;
  for (const Token& token : tokens) {
    const int symbol = token.Length == 1 ? token.Value : token.Length + 253;
    longest = std::max(longest, LeafDepth(t.Codec, symbol));
    t.Codec.EncodeSymbol(static_cast<uint16_t>(symbol), writer);
    if (token.Length > 1) t.Codec.EncodeOffset(static_cast<uint16_t>(token.Value), writer);
  }
  t.Codec.FlushBits(writer);
  if (maxCodeLength) *maxCodeLength = longest;
  return writer.Out;
}

// What the tokens stand for, worked out on a plain 4096-byte window.
Bytes ExpandTokens(const std::vector<Token>& tokens) {
  std::vector<uint8_t> ring(TLZH::RingSize, 0);
  std::fill(ring.begin(), ring.begin() + TLZH::FirstRingPosition, TLZH::FillByte);
  int r = TLZH::FirstRingPosition;
  Bytes out;
  auto put = [&](uint8_t b) {
    out.push_back(b);
    ring[r] = b;
    r = (r + 1) % TLZH::RingSize;
  };
  for (const Token& t : tokens) {
    if (t.Length == 1) {
      put(static_cast<uint8_t>(t.Value));
    } else {
      const int from = (r - t.Value - 1 + TLZH::RingSize) % TLZH::RingSize;
      for (int k = 0; k < t.Length; ++k) put(ring[(from + k) % TLZH::RingSize]);
    }
  }
  return out;
}

// Checks every invariant of the Huffman model.
void ExpectModelConsistent(const TLZH& c) {
  ASSERT_EQ(c.Frequency[TLZH::NodeCount], 0xFFFF);
  ASSERT_EQ(c.HuffParent[TLZH::RootNode], 0);
  ASSERT_LE(c.Frequency[TLZH::RootNode], TLZH::FreqCeiling);
  std::vector<int> seen(TLZH::SymbolCount, 0);
  for (int n = 0; n < TLZH::NodeCount; ++n) {
    if (n > 0) {
      ASSERT_LE(c.Frequency[n - 1], c.Frequency[n]) << "node " << n;
    }
    const int child = c.HuffChild[n];
    if (child >= TLZH::NodeCount) {
      ++seen[child - TLZH::NodeCount];
      ASSERT_EQ(c.HuffParent[child], n);
      ASSERT_GE(c.Frequency[n], 1);
    } else {
      ASSERT_EQ(child % 2, 0) << "node " << n;
      ASSERT_LT(child + 1, n);
      ASSERT_EQ(c.HuffParent[child], n);
      ASSERT_EQ(c.HuffParent[child + 1], n);
      ASSERT_EQ(c.Frequency[n], c.Frequency[child] + c.Frequency[child + 1]) << "node " << n;
    }
  }
  for (int s = 0; s < TLZH::SymbolCount; ++s) ASSERT_EQ(seen[s], 1) << "symbol " << s;
}

Bytes ReadFileBytes(const char* path, size_t limit) {
  std::ifstream in(path, std::ios::binary);
  Bytes data((std::istreambuf_iterator<char>(in)), {});
  if (data.size() > limit) data.resize(limit);
  return data;
}

// A fresh seed, or the one given in LZH_TEST_SEED to repeat a run.
uint32_t RandomSeed() {
  const char* given = std::getenv("LZH_TEST_SEED");
  const uint32_t seed = given ? static_cast<uint32_t>(std::stoul(given)) : std::random_device{}();
  std::printf("random seed %u\n", seed);
  return seed;
}

// ---------------------------------------------------------------------------

struct KnownStream {
  const char* Name;
  Bytes Input;
  Bytes Stream;
};

TEST(LzhKnownStreams, EncodeAndDecodeExactly) {
  const KnownStream cases[] = {
      {"abc", FromString("abc"), FromHex("F6 FB BD E0")},
      {"ten a", Bytes(10, 'a'), FromHex("F6 C9 00 00")},
      // One literal of ring position 4036, which no input reached (0).
      {"empty", Bytes{}, FromHex("C6 00")},
  };
  for (const KnownStream& c : cases) {
    SCOPED_TRACE(c.Name);
    int32_t bytesRead = -1;
    EXPECT_EQ(Encode(c.Input, &bytesRead), c.Stream);
    EXPECT_EQ(bytesRead, static_cast<int32_t>(c.Input.size()));
    EXPECT_EQ(Decode(c.Stream, static_cast<int32_t>(c.Input.size())), c.Input);
  }
}

TEST(LzhKnownStreams, PlainCallbackFormMatchesTemplateForm) {
  const Bytes input = FromString("the plain callbacks are one instantiation of the same code, the same code");
  MemoryReader reader{&input};
  VectorWriter writer;
  TReadBytesProc read{&reader, [](void* self, uint8_t* b, uint16_t n, uint16_t& got) {
                        (*static_cast<MemoryReader*>(self))(b, n, got);
                      }};
  TWriteBytesProc write{&writer, [](void* self, const uint8_t* b, uint16_t n, uint16_t& put) {
                          (*static_cast<VectorWriter*>(self))(b, n, put);
                        }};
  TLZH codec;
  int32_t bytesRead = 0;
  codec.EncodeStream(bytesRead, read, write);
  EXPECT_EQ(writer.Out, Encode(input));
  EXPECT_EQ(bytesRead, static_cast<int32_t>(input.size()));

  const Bytes stream = writer.Out;
  MemoryReader reader2{&stream};
  VectorWriter writer2;
  codec.DecodeStream(static_cast<int32_t>(input.size()),
                     TReadBytesProc{&reader2, read.Proc}, TWriteBytesProc{&writer2, write.Proc});
  EXPECT_EQ(writer2.Out, input);
}

struct TokenCase {
  const char* Name;
  Bytes Input;
  std::vector<Token> Tokens;
};

TEST(LzhEncoder, ChoosesLongestNearestMatches) {
  std::vector<Token> run200 = {Lit('x'), Match(60, 0), Match(60, 0), Match(60, 0), Match(19, 0)};
  const TokenCase cases[] = {
      // Offsets 3 and 7 both give "abc" for the second match: the nearer wins.
      {"abcdabceabcf", FromString("abcdabceabcf"),
       {Lit('a'), Lit('b'), Lit('c'), Lit('d'), Match(3, 3), Lit('e'), Match(3, 3), Lit('f')}},
      {"ten a", Bytes(10, 'a'), {Lit('a'), Match(9, 0)}},
      {"200 equal", Bytes(200, 'x'), run200},
      {"shorter than 3", FromString("ab"), {Lit('a'), Lit('b')}},
      // A match never runs past the input, however long the candidate.
      {"abcabc", FromString("abcabc"), {Lit('a'), Lit('b'), Lit('c'), Match(3, 2)}},
  };
  for (const TokenCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const Bytes stream = Encode(c.Input);
    EXPECT_EQ(TraceStream(stream, static_cast<int32_t>(c.Input.size())).Tokens, c.Tokens);
  }
}

struct DecodeCase {
  const char* Name;
  std::vector<Token> Tokens;
  int32_t Size;
  Bytes Expected;
};

TEST(LzhDecoder, DecodesHandBuiltStreams) {
  Bytes sixtyOneQ(61, 'q');
  const DecodeCase cases[] = {
      {"match at start repeats the fill", {Match(3, 0)}, 3, Bytes(3, 0x20)},
      {"offset 0 length 60 repeats a literal", {Lit('q'), Match(60, 0)}, 61, sixtyOneQ},
      {"nearer than long repeats its start", {Lit('a'), Lit('b'), Match(6, 1)}, 8,
       FromString("abababab")},
      {"shortest and longest lengths", {Lit('z'), Match(3, 0), Match(60, 0)}, 64, Bytes(64, 'z')},
      // The last match completes even past the size: 59 bytes more.
      {"match past the size", {Lit('a'), Match(60, 0)}, 2, Bytes(61, 'a')},
      // Positions 4036..4095 are not written yet; they read as 0, never out
      // of the window.
      {"reference to unwritten positions", {Match(5, 4095)}, 5, Bytes(5, 0)},
  };
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(Decode(BuildStream(c.Tokens), c.Size), c.Expected);
  }
}

TEST(LzhDecoder, EightZeroBitsAreSymbol116) {
  EXPECT_EQ(Decode(Bytes{0x00}, 1), FromString("t"));
}

TEST(LzhDecoder, NonPositiveSizeReadsAndWritesNothing) {
  const Bytes stream = FromHex("F6 FB BD E0");
  for (int32_t size : {0, -1, INT32_MIN}) {
    size_t reads = 99;
    EXPECT_TRUE(Decode(stream, size, &reads).empty());
    EXPECT_EQ(reads, 0u) << size;
  }
}

TEST(LzhDecoder, MissingInputReadsAsZeroBits) {
  const Bytes none;
  // Whatever the zero bits mean, the decoder writes at least the size asked
  // for (a final match may run up to 59 bytes further) and raises nothing.
  const Bytes out = Decode(none, 1000);
  EXPECT_GE(out.size(), 1000u);
  EXPECT_LE(out.size(), 1059u);

  CodecTables t;
  MemoryReader reader{&none};
  EXPECT_EQ(t.Codec.ReadBits8(reader), 0);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(t.Codec.ReadBit(reader), 0);
}

TEST(LzhDecoder, TruncatedStreamStillYieldsTheSize) {
  Bytes text;
  for (int i = 0; i < 400; ++i) {
    const std::string line = "line " + std::to_string(i * 7919 % 1000) + " of a truncated text\n";
    text.insert(text.end(), line.begin(), line.end());
  }
  Bytes stream = Encode(text);
  stream.resize(stream.size() / 2);
  const Bytes out = Decode(stream, static_cast<int32_t>(text.size()));
  ASSERT_GE(out.size(), text.size());
  EXPECT_LE(out.size(), text.size() + 59);
  EXPECT_TRUE(std::equal(text.begin(), text.begin() + 200, out.begin()));
}

TEST(LzhDecoder, ReadsAtMostOneByteBeyondItsBits) {
  for (const Bytes& input : {FromString("abc"), Bytes(10, 'a'), FromString("abcdabceabcf")}) {
    const Bytes stream = Encode(input);
    size_t reads = 0;
    EXPECT_EQ(Decode(stream, static_cast<int32_t>(input.size()), &reads), input);
    EXPECT_EQ(reads, stream.size() + 1);
  }
}

// --- The model -------------------------------------------------------------

TEST(LzhModel, FreshModelCodes) {
  CodecTables t;
  for (int s = 0; s < TLZH::SymbolCount; ++s) {
    t.Codec.InitHuffman();
    t.Codec.OutBits = 0;
    t.Codec.OutBitCount = 0;
    VectorWriter writer;
    t.Codec.EncodeSymbol(static_cast<uint16_t>(s), writer);
    t.Codec.FlushBits(writer);
    // 8 bits s - 116 for 116..313, 9 bits s + 396 for 0..115.
    const Bytes expected = s >= 116 ? Bytes{static_cast<uint8_t>(s - 116)}
                                    : Bytes{static_cast<uint8_t>((s + 396) >> 1),
                                            static_cast<uint8_t>(((s + 396) & 1) << 7)};
    ASSERT_EQ(writer.Out, expected) << "symbol " << s;

    t.Codec.InitHuffman();
    t.Codec.InBits = 0;
    t.Codec.InBitCount = 0;
    MemoryReader reader{&writer.Out};
    ASSERT_EQ(t.Codec.DecodeSymbol(reader), s);
  }
}

TEST(LzhModel, UpdatedNodeMovesToLastPlaceOfItsOldCount) {
  CodecTables t;
  EXPECT_EQ(t.Codec.Frequency[TLZH::RootNode], 314);
  t.Codec.UpdateModel(0);
  EXPECT_EQ(t.Codec.HuffParent[0 + TLZH::NodeCount], 313);
  EXPECT_EQ(t.Codec.Frequency[313], 2);
  EXPECT_EQ(t.Codec.Frequency[TLZH::RootNode], 315);
  ExpectModelConsistent(t.Codec);
}

TEST(LzhModel, FirstHalvingStartsUpdate32455) {
  CodecTables t;
  for (int i = 0; i < 32454; ++i) t.Codec.UpdateModel(static_cast<uint16_t>(i * 7 % 314));
  ASSERT_EQ(t.Codec.Frequency[TLZH::RootNode], 32768);
  ExpectModelConsistent(t.Codec);
  t.Codec.UpdateModel(5);
  EXPECT_LT(t.Codec.Frequency[TLZH::RootNode], 32768);
  ExpectModelConsistent(t.Codec);
}

TEST(LzhModel, HalvingNeverReachesZero) {
  struct Halving {
    int Symbol;
    uint16_t Before;
    uint16_t After;
  };
  const Halving cases[] = {{0, 1, 1}, {1, 2, 1}, {2, 3, 2}, {313, 32767, 16384}};
  CodecTables t;
  // In a fresh model symbol s is leaf s at node s; give the leaves sorted
  // counts (the rebuild reads only the leaves).
  for (int s = 0; s < TLZH::SymbolCount; ++s) t.Codec.Frequency[s] = 3;
  for (const Halving& h : cases) t.Codec.Frequency[h.Symbol] = h.Before;
  t.Codec.RebuildHuffman();
  for (const Halving& h : cases)
    EXPECT_EQ(t.Codec.Frequency[t.Codec.HuffParent[h.Symbol + TLZH::NodeCount]], h.After)
        << "count " << h.Before;
  ExpectModelConsistent(t.Codec);
}

TEST(LzhModel, RebuildPutsNewNodesAfterEqualCounts) {
  // Halving a fresh model leaves every count at 1; pairing them again must
  // give the initial tree exactly, which holds only if a new node goes after
  // the nodes of its own count.
  CodecTables fresh, rebuilt;
  rebuilt.Codec.RebuildHuffman();
  EXPECT_TRUE(std::equal(fresh.Codec.Frequency, fresh.Codec.Frequency + TLZH::NodeCount + 1,
                         rebuilt.Codec.Frequency));
  EXPECT_TRUE(std::equal(fresh.Codec.HuffChild, fresh.Codec.HuffChild + TLZH::NodeCount,
                         rebuilt.Codec.HuffChild));
  EXPECT_TRUE(std::equal(fresh.Codec.HuffParent,
                         fresh.Codec.HuffParent + TLZH::NodeCount + TLZH::SymbolCount,
                         rebuilt.Codec.HuffParent));
}

TEST(LzhModel, StaysConsistentUnderSkewedCounting) {
  const uint32_t seed = RandomSeed();
  std::mt19937 rng(seed);
  std::geometric_distribution<int> skewed(0.05);
  CodecTables t;
  for (int i = 1; i <= 120000; ++i) {
    t.Codec.UpdateModel(static_cast<uint16_t>(std::min(skewed(rng), TLZH::SymbolCount - 1)));
    if (i % 4000 == 0) {
      ASSERT_NO_FATAL_FAILURE(ExpectModelConsistent(t.Codec)) << "update " << i;
    }
  }
}

// --- Offsets and bit registers ---------------------------------------------

TEST(LzhOffsets, PrefixTablesAreCanonicalAndComplete) {
  int next = 0;
  for (int u = 0; u < 64; ++u) {
    ASSERT_EQ(TLZH::OffsetCode[u], next) << u;
    for (int x = next; x < next + (1 << (8 - TLZH::OffsetLen[u])); ++x) {
      ASSERT_EQ(TLZH::OffsetUpperByByte[x], u);
      ASSERT_EQ(TLZH::OffsetLenByByte[x], TLZH::OffsetLen[u]);
    }
    next += 1 << (8 - TLZH::OffsetLen[u]);
  }
  EXPECT_EQ(next, 256);
  struct Spot {
    int Byte, Upper, Length;
  };
  for (const Spot& s : {Spot{0x00, 0, 3}, Spot{0x1F, 0, 3}, Spot{0x20, 1, 4}, Spot{0x2F, 1, 4},
                        Spot{0x88, 11, 5}, Spot{0x8F, 11, 5}, Spot{0xBC, 23, 6}, Spot{0xEE, 47, 7},
                        Spot{0xF0, 48, 8}, Spot{0xFF, 63, 8}}) {
    EXPECT_EQ(TLZH::OffsetUpperByByte[s.Byte], s.Upper) << s.Byte;
    EXPECT_EQ(TLZH::OffsetLenByByte[s.Byte], s.Length) << s.Byte;
  }
}

TEST(LzhOffsets, CodesOfKnownOffsets) {
  struct OffsetCase {
    uint16_t Offset;
    const char* Bits;
  };
  const OffsetCase cases[] = {
      {0, "000 000000"},
      {64, "0010 000000"},
      {4095, "11111111 111111"},
      {11 * 64 + 5, "10001 000101"},
      {48 * 64 + 63, "11110000 111111"},
  };
  for (const OffsetCase& c : cases) {
    CodecTables t;
    VectorWriter writer;
    t.Codec.EncodeOffset(c.Offset, writer);
    t.Codec.FlushBits(writer);
    EXPECT_EQ(writer.Out, FromBits(c.Bits)) << c.Offset;
    MemoryReader reader{&writer.Out};
    EXPECT_EQ(t.Codec.DecodeOffset(reader), c.Offset);
  }
}

TEST(LzhOffsets, EveryOffsetReadsBackInSequence) {
  CodecTables t;
  VectorWriter writer;
  for (int o = 0; o < 4096; ++o) t.Codec.EncodeOffset(static_cast<uint16_t>(o), writer);
  t.Codec.FlushBits(writer);
  MemoryReader reader{&writer.Out};
  for (int o = 0; o < 4096; ++o) ASSERT_EQ(t.Codec.DecodeOffset(reader), o);
}

TEST(LzhBits, WriteBitsAndFlush) {
  struct Piece {
    uint16_t N, Code;
  };
  struct BitsCase {
    const char* Name;
    std::vector<Piece> Pieces;
    Bytes Written;
    uint8_t Pending;
    Bytes Flushed;
  };
  const BitsCase cases[] = {
      {"nothing", {}, {}, 0, {}},
      {"16 bits, nothing pending", {{16, 0xABCD}}, {0xAB, 0xCD}, 0, {}},
      {"8 bits", {{8, 0x5A00}}, {0x5A}, 0, {}},
      {"3 bits padded", {{3, 0xA000}}, {}, 3, {0xA0}},
      {"4 + 12 bits", {{4, 0xF000}, {12, 0x1230}}, {0xF1, 0x23}, 0, {}},
      {"7 pending + 16 bits", {{7, 0xFE00}, {16, 0x8001}}, {0xFF, 0x00}, 7, {0x02}},
      {"7 pending + 9 bits", {{7, 0x0200}, {9, 0xFF80}}, {0x03, 0xFF}, 0, {}},
  };
  for (const BitsCase& c : cases) {
    SCOPED_TRACE(c.Name);
    CodecTables t;
    VectorWriter writer;
    for (const Piece& p : c.Pieces) t.Codec.WriteBits(p.N, p.Code, writer);
    EXPECT_EQ(writer.Out, c.Written);
    EXPECT_EQ(t.Codec.OutBitCount, c.Pending);
    writer.Out.clear();
    t.Codec.FlushBits(writer);
    EXPECT_EQ(writer.Out, c.Flushed);
  }
}

// --- Long codes ------------------------------------------------------------

// Counts that follow the Fibonacci numbers stack the symbols into a chain,
// and the leaves that are hardly ever used hang below it: with the root near
// 32768 they sit 17 or more levels deep. One rare literal every few rounds
// gets coded while it is that deep.
std::vector<Token> SkewedTokens(std::mt19937& rng) {
  const int fibonacci[] = {34, 21, 13, 8, 5, 3, 2, 1, 1};
  std::vector<int> round;
  for (int k = 0; k < 9; ++k) round.insert(round.end(), fibonacci[k], 3 + k);
  std::vector<Token> tokens;
  for (int i = 0; i < 4096; ++i) tokens.push_back({1, static_cast<int>(rng() & 0xFF)});
  for (int i = 0; i < 1500; ++i) {
    std::shuffle(round.begin(), round.end(), rng);
    if (i % 8 == 0) tokens.push_back({1, i * 97 % 256});
    for (int length : round) tokens.push_back({length, static_cast<int>(rng() % 4000)});
  }
  return tokens;
}

TEST(LzhLongCodes, CodesBeyond16BitsRoundTrip) {
  const uint32_t seed = RandomSeed();
  std::mt19937 rng(seed);
  const std::vector<Token> tokens = SkewedTokens(rng);
  int longest = 0;
  const Bytes stream = BuildStream(tokens, &longest);
  ASSERT_GT(longest, 16) << "the model never got deep enough";

  const Bytes expected = ExpandTokens(tokens);
  const int32_t size = static_cast<int32_t>(expected.size());
  const Trace trace = TraceStream(stream, size);
  EXPECT_EQ(trace.Tokens, tokens);
  EXPECT_EQ(*std::max_element(trace.CodeLengths.begin(), trace.CodeLengths.end()), longest);
  EXPECT_EQ(Decode(stream, size), expected);
  // And the data those tokens make goes through the whole codec.
  EXPECT_EQ(Decode(Encode(expected), size), expected);
}

// --- Failures --------------------------------------------------------------

enum class Driver { Encode, Decode };

void RunDriver(TLZH& codec, Driver driver, const Bytes& input) {
  MemoryReader reader{&input};
  VectorWriter writer;
  if (driver == Driver::Encode) {
    int32_t bytesRead = 0;
    codec.EncodeStream(bytesRead, reader, writer);
  } else {
    codec.DecodeStream(100, reader, writer);
  }
}

bool HoldsNoTables(const TLZH& c) {
  return !c.Ring && !c.LeftChild && !c.TreeParent && !c.RightChild && !c.Frequency &&
         !c.HuffParent && !c.HuffChild;
}

TEST(LzhFailures, EachTableAllocationFailureRaises) {
  const Bytes input = FromString("some input for the codec, some input");
  const Bytes stream = Encode(input);
  for (Driver driver : {Driver::Encode, Driver::Decode}) {
    for (int failing = 0; failing < 7; ++failing) {
      SCOPED_TRACE(failing);
      TLZH codec;
      InjectAllocFailure(failing);
      try {
        RunDriver(codec, driver, driver == Driver::Encode ? input : stream);
        ADD_FAILURE() << "no exception";
      } catch (const ElzhException& e) {
        EXPECT_EQ(e.Message(), "LZH : Cannot get memory for dictionary tables");
      }
      InjectAllocFailure(-1);
      EXPECT_TRUE(HoldsNoTables(codec));
      // The instance stays usable.
      if (driver == Driver::Encode) {
        MemoryReader reader{&input};
        VectorWriter writer;
        int32_t bytesRead = 0;
        codec.EncodeStream(bytesRead, reader, writer);
        EXPECT_EQ(writer.Out, stream);
      }
    }
  }
}

// A reader or writer that gives up with an exception after some calls.
struct ThrowingReader {
  MemoryReader Inner;
  size_t Limit;
  void operator()(uint8_t* b, uint16_t n, uint16_t& got) {
    if (Inner.Calls == Limit) throw std::runtime_error("reader failed");
    Inner(b, n, got);
  }
};
struct ThrowingWriter {
  size_t Limit;
  size_t Calls = 0;
  void operator()(const uint8_t*, uint16_t, uint16_t& put) {
    if (Calls++ == Limit) throw std::runtime_error("writer failed");
    put = 1;
  }
};

TEST(LzhFailures, CallbackExceptionsPassThroughAndTablesAreReleased) {
  const Bytes input(5000, 'k');
  const Bytes stream = Encode(input);
  for (size_t limit : {0u, 3u, 60u}) {
    SCOPED_TRACE(limit);
    TLZH codec;
    {
      ThrowingReader reader{{&input}, limit};
      VectorWriter writer;
      int32_t bytesRead = 0;
      EXPECT_THROW(codec.EncodeStream(bytesRead, reader, writer), std::runtime_error);
      EXPECT_TRUE(HoldsNoTables(codec));
    }
    {
      ThrowingReader reader{{&stream}, limit};
      VectorWriter writer;
      EXPECT_THROW(codec.DecodeStream(5000, reader, writer), std::runtime_error);
      EXPECT_TRUE(HoldsNoTables(codec));
    }
    {
      MemoryReader reader{&input};
      ThrowingWriter writer{limit};
      int32_t bytesRead = 0;
      EXPECT_THROW(codec.EncodeStream(bytesRead, reader, writer), std::runtime_error);
      EXPECT_TRUE(HoldsNoTables(codec));
    }
    {
      MemoryReader reader{&stream};
      ThrowingWriter writer{limit};
      EXPECT_THROW(codec.DecodeStream(5000, reader, writer), std::runtime_error);
      EXPECT_TRUE(HoldsNoTables(codec));
    }
    EXPECT_EQ(Decode(stream, 5000), input);
  }
}

// --- Round trips -----------------------------------------------------------

Bytes DocumentText() {
  Bytes text;
  for (const char* path : {"/usr/share/common-licenses/GPL-3", "/usr/share/common-licenses/Apache-2.0",
                           "/usr/share/doc/cmake/copyright", "/usr/share/doc/bash/README"}) {
    const Bytes part = ReadFileBytes(path, 200000);
    text.insert(text.end(), part.begin(), part.end());
  }
  if (text.empty()) {
    for (int i = 0; i < 3000; ++i) {
      const std::string line = "fallback text line " + std::to_string(i * 31 % 577) + " with words\n";
      text.insert(text.end(), line.begin(), line.end());
    }
  }
  return text;
}

Bytes RandomBytes(std::mt19937& rng, size_t n) {
  Bytes out(n);
  for (uint8_t& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

Bytes Runs(std::mt19937& rng, size_t n) {
  Bytes out;
  while (out.size() < n) out.insert(out.end(), 1 + rng() % 300, static_cast<uint8_t>(rng() % 4));
  return out;
}

void ExpectRoundTrip(const Bytes& input) {
  int32_t bytesRead = -1;
  const Bytes stream = Encode(input, &bytesRead);
  EXPECT_EQ(bytesRead, static_cast<int32_t>(input.size()));
  size_t reads = 0;
  const Bytes out = Decode(stream, static_cast<int32_t>(input.size()), &reads);
  ASSERT_EQ(out.size(), input.size());
  EXPECT_TRUE(out == input);
  // Every byte of a complete stream is needed, and one read more at most.
  if (!input.empty()) {
    EXPECT_GE(reads, stream.size());
    EXPECT_LE(reads, stream.size() + 1);
  }
}

TEST(LzhRoundTrip, VariedData) {
  const uint32_t seed = RandomSeed();
  std::mt19937 rng(seed);
  struct Sample {
    const char* Name;
    Bytes Data;
  };
  Bytes cycle(70000);
  for (size_t i = 0; i < cycle.size(); ++i) cycle[i] = static_cast<uint8_t>(i);
  const Sample samples[] = {
      {"text", DocumentText()},
      {"binary", ReadFileBytes("/bin/ls", 400000)},
      {"random", RandomBytes(rng, 100000)},
      {"runs", Runs(rng, 200000)},
      {"zeros", Bytes(100000, 0)},
      {"byte cycle", cycle},
  };
  for (const Sample& s : samples) {
    SCOPED_TRACE(s.Name);
    ExpectRoundTrip(s.Data);
  }
}

TEST(LzhRoundTrip, ShortInputsAroundTheWindowEdges) {
  const uint32_t seed = RandomSeed();
  std::mt19937 rng(seed);
  // Up to 130 bytes covers the look-ahead (60) and the unfilled tail of the
  // window (119); small alphabets make matches likely.
  for (size_t n = 0; n <= 130; ++n) {
    Bytes input(n);
    for (uint8_t& b : input) b = static_cast<uint8_t>('a' + rng() % 3);
    SCOPED_TRACE(n);
    ExpectRoundTrip(input);
  }
}

TEST(LzhRoundTrip, RepeatedCallsStartFresh) {
  const Bytes input = FromString("the same input twice gives the same stream twice");
  TLZH codec;
  Bytes first, second;
  for (Bytes* out : {&first, &second}) {
    MemoryReader reader{&input};
    VectorWriter writer;
    int32_t bytesRead = 0;
    codec.EncodeStream(bytesRead, reader, writer);
    *out = writer.Out;
  }
  EXPECT_EQ(first, second);
}

// --- Match finder and encoder steps --------------------------------------

// The encoder's steps done one at a time with the codec's building blocks,
// every position inserted with the full match search. EncodeStream skips
// the search where the match is never used and runs some insertions two at
// a time; its output must not differ from this.
Bytes EncodeStepByStep(const Bytes& input) {
  CodecTables t;
  TLZH& c = t.Codec;
  c.InitTrees();
  std::fill(c.Ring, c.Ring + TLZH::FirstRingPosition, TLZH::FillByte);
  std::fill(c.Ring + TLZH::FirstRingPosition, c.Ring + TLZH::RingSize + TLZH::MirrorBytes, 0);
  VectorWriter writer;
  size_t next = 0;
  auto get = [&](uint8_t& b) {
    if (next == input.size()) return false;
    b = input[next++];
    return true;
  };
  int s = 0, r = TLZH::FirstRingPosition, len = 0;
  uint8_t b = 0;
  while (len < TLZH::MaxMatch && get(b)) c.Ring[r + len++] = b;
  for (int i = 1; i <= TLZH::MaxMatch; ++i) c.InsertPosition(static_cast<int16_t>(r - i));
  c.InsertPosition(static_cast<int16_t>(r));
  do {
    if (c.MatchLength > len) c.MatchLength = static_cast<int16_t>(len);
    if (c.MatchLength <= TLZH::MatchThreshold) {
      c.MatchLength = 1;
      c.EncodeSymbol(c.Ring[r], writer);
    } else {
      c.EncodeSymbol(static_cast<uint16_t>(c.MatchLength + 253), writer);
      c.EncodeOffset(static_cast<uint16_t>(c.MatchOffset), writer);
    }
    const int last = c.MatchLength;
    int i = 0;
    for (; i < last && get(b); ++i) {
      c.RemovePosition(static_cast<int16_t>(s));
      c.Ring[s] = b;
      if (s < TLZH::MirrorBytes) c.Ring[s + TLZH::RingSize] = b;
      s = (s + 1) & TLZH::RingMask;
      r = (r + 1) & TLZH::RingMask;
      c.InsertPosition(static_cast<int16_t>(r));
    }
    for (; i < last; ++i) {
      c.RemovePosition(static_cast<int16_t>(s));
      s = (s + 1) & TLZH::RingMask;
      r = (r + 1) & TLZH::RingMask;
      if (--len != 0) c.InsertPosition(static_cast<int16_t>(r));
    }
  } while (len > 0);
  c.FlushBits(writer);
  return writer.Out;
}

TEST(LzhEncoder, SameStreamAsStepByStepInsertion) {
  const uint32_t seed = RandomSeed();
  std::mt19937 rng(seed);
  struct Sample {
    const char* Name;
    Bytes Data;
  };
  Bytes text;
  for (int i = 0; i < 4000; ++i) {
    const std::string line = "line " + std::to_string(i * 37 % 211) + " of words, words " +
                             std::to_string(i % 7) + " and more words\n";
    text.insert(text.end(), line.begin(), line.end());
  }
  // Neighbouring bytes differ everywhere, so steps can always go in pairs.
  Bytes alternating(20000);
  for (size_t i = 0; i < alternating.size(); ++i) alternating[i] = i % 2 ? 'y' : 'x';
  // A block of 4036 bytes from four letters, repeated with 1% of the bytes
  // changed. A step inserts the key that is, but for the changes, the one
  // of the position it removes (4036 back): their order decides whether
  // the new key replaces the old one or sits beside it.
  const Bytes block = [&] {
    Bytes out(4036);
    for (uint8_t& v : out) v = static_cast<uint8_t>('a' + rng() % 4);
    return out;
  }();
  Bytes period4036;
  for (int copy = 0; copy < 8; ++copy)
    for (const uint8_t v : block) period4036.push_back(rng() % 100 == 0 ? static_cast<uint8_t>('a' + rng() % 4) : v);
  Bytes mixed = Runs(rng, 20000);
  const Bytes noise = RandomBytes(rng, 20000);
  mixed.insert(mixed.end(), noise.begin(), noise.end());
  mixed.insert(mixed.end(), text.begin(), text.begin() + 20000);
  const Sample samples[] = {
      {"text", text},
      {"binary", ReadFileBytes("/bin/ls", 60000)},
      {"alternating", alternating},
      {"period 4036", period4036},
      {"runs, noise, text", mixed},
  };
  for (const Sample& sample : samples) {
    SCOPED_TRACE(sample.Name);
    EXPECT_TRUE(Encode(sample.Data) == EncodeStepByStep(sample.Data));
  }
  // Short inputs end inside the first matches, in the middle of a pair of
  // steps as well as after one.
  for (size_t n = 0; n <= 200; ++n) {
    Bytes input(n);
    for (uint8_t& v : input) v = static_cast<uint8_t>('a' + rng() % 3);
    SCOPED_TRACE(n);
    EXPECT_EQ(Encode(input), EncodeStepByStep(input));
  }
}

// The match finder compares keys several bytes at a time; a difference in
// any byte, the last one included, and in keys read through the mirror
// bytes past the end of the window, must count.
TEST(LzhMatchFinder, FirstDifferenceAnywhereInTheKey) {
  struct Case {
    int Differs;  // first byte at which the second key differs; 60 = none
    bool Greater;
  };
  const Case cases[] = {{3, true},   {3, false},  {7, true},  {8, false}, {9, true},
                        {16, false}, {17, true},  {52, true}, {53, false}, {58, true},
                        {59, true},  {59, false}, {60, false}};
  constexpr int Distance = 300;
  for (const int first : {1000, 4080}) {
    for (const Case& k : cases) {
      SCOPED_TRACE(testing::Message() << "key at " << first << ", differs at " << k.Differs
                                      << (k.Greater ? " upward" : " downward"));
      CodecTables t;
      TLZH& c = t.Codec;
      c.InitTrees();
      std::fill(c.Ring, c.Ring + TLZH::RingSize, 0);
      const int second = (first + Distance) & TLZH::RingMask;
      for (int i = 0; i < TLZH::MaxMatch; ++i) {
        c.Ring[(first + i) & TLZH::RingMask] = static_cast<uint8_t>(0x40 + i);
        c.Ring[(second + i) & TLZH::RingMask] = static_cast<uint8_t>(0x40 + i);
      }
      if (k.Differs < TLZH::MaxMatch)
        c.Ring[(second + k.Differs) & TLZH::RingMask] = k.Greater ? 0xF0 : 0x01;
      std::copy(c.Ring, c.Ring + TLZH::MirrorBytes, c.Ring + TLZH::RingSize);

      c.InsertPosition(static_cast<int16_t>(first));
      c.InsertPosition(static_cast<int16_t>(second));
      EXPECT_EQ(c.MatchLength, k.Differs);
      EXPECT_EQ(c.MatchOffset, Distance - 1);
      if (k.Differs == TLZH::MaxMatch) {
        // The same whole key: the newer position takes the older one's place.
        EXPECT_EQ(c.TreeParent[first], TLZH::NilNode);
        EXPECT_EQ(c.RightChild[TLZH::TreeRootSlot + 0x40], second);
      } else {
        EXPECT_EQ((k.Greater ? c.RightChild : c.LeftChild)[first], second);
        EXPECT_EQ((k.Greater ? c.LeftChild : c.RightChild)[first], TLZH::NilNode);
      }
    }
  }
}

}  // namespace
