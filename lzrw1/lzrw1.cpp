// Tlzrw1: the compression component (see lzrw1.h for the contract).
//
// Layout of an operation: obtain the two I/O buffers, make the channels ready
// (open/create the named files, or check the caller's streams), then run the
// transfer inside a guarded section whose failures are absorbed in stream
// mode and turned into "delete the output, raise again" in named-file mode.
// Buffers and handles are released by a scope guard on every path.
#include "lzrw1/lzrw1.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/files.h"
#include "platform/memory.h"

TProgressHook ProgressHook = nullptr;

namespace {

// Every message the component raises.
const char* const kBuffersMsg = "Lzrw1 (de)compression : Failed to get memory for I/O buffers !";
const char* const kInitInputMsg = "Lzrw1 (de)compression : Failed to initialize input stream !";
const char* const kInitOutputMsg = "Lzrw1 (de)compression : Failed to initialize output stream !";
const char* const kOpenInputMsg = "Lzrw1 (de)compression : Failed to open input file : ";
const char* const kOpenOutputMsg = "Lzrw1 (de)compression : Failed to open output file : ";
const char* const kNoHeaderStreamMsg = "Lzrw1 decompression : input stream contains no valid header !";
const char* const kNoHeaderFileMsg = " : Lzrw1 decompression : this file has no valid header !";
const char* const kBlockSizesMsg =
    "Lzrw1 (decompression LZRW1/KH) : Original and compressed sizes do not match !";
const char* const kLzhSizesMsg =
    "Lzrw1 (LZH decompression) : Original and compressed sizes do not match !";
const char* const kReadStreamMsg = "Compression Error, reading from input stream !";
const char* const kReadFileMsg = "Compression Error, reading from input file : ";
const char* const kWriteStreamMsg = "Compression Error, writing to output stream !";
const char* const kWriteFileMsg = "Compression Error, writing to output file : ";
const char* const kLzhSuffix = " (LZH)";
const char* const kBlockSuffix = " (LZRW1/KH)";
const char* const kSizeStreamMsg =
    "Lzrw1 compression : Failed to obtain the size of the input stream !";
const char* const kSizeFileMsg = "Lzrw1 compression : Failed to obtain the size of : ";
const char* const kAdviseBuffersMsg = "Lzrw1 advise : Error getting I/O buffers";
const char* const kAdviseSizeStreamMsg = "Lzrw1 advise : can not get size of inputstream !";
const char* const kAdviseSizeFileMsg = "Lzrw1 advise : can not get the size of : ";
const char* const kAdviseInitStreamMsg = "Lzrw1 edvise : can not initialize the input stream!";
const char* const kAdviseOpenFileMsg = "Lzrw1 advise : can open input file : ";
const char* const kAdviseReadStreamMsg = "Lzrw1 advise : input stream read error !";
const char* const kAdviseReadFileMsg = "Lzrw1 advise : read error on input file : ";
// Our own, for conditions the stream format cannot express.
const char* const kBlockTooLongMsg =
    "Lzrw1 (decompression LZRW1/KH) : block longer than the I/O buffer, the stream is damaged !";
const char* const kTooLargeMsg =
    "Lzrw1 (de)compression : more than 2 GiB of data, too large for the stream format !";
const char* const kInputChangedMsg =
    "Lzrw1 compression : the input changed size while it was compressed !";

// Inputs shorter than this are not sampled by Advise.
constexpr int64_t kAdviseMinimum = 3 * int64_t{BlockSize};

uint32_t GetLe32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
void PutLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// total += n for a non-negative n, refusing to wrap past the 32-bit counts.
void AddCount(int32_t& total, int32_t n) {
  if (n > INT32_MAX - total) throw ELzrw1Exception(kTooLargeMsg);
  total += n;
}

// Runs a clean-up when the scope ends, however it ends.
template <class F>
struct ScopeExit {
  F f;
  ~ScopeExit() { f(); }
};
template <class F>
ScopeExit(F) -> ScopeExit<F>;

}  // namespace

// The functors through which TLZH's hot loops reach the inline fast paths.
struct Tlzrw1::LzhReader {
  Tlzrw1& c;
  void operator()(uint8_t* buffer, uint16_t count, uint16_t& delivered) {
    c.GetBytes(buffer, count, delivered);
  }
};

// The decoder's reader. The LZH stream has no end marker: past the end of
// the input the bit reader takes zero bits and would decode them as tokens
// up to the announced size, so an 8-byte header announcing 2 GiB would write
// 2 GiB of nothing. A complete stream never asks for more than one byte past
// its last byte (the bit register is refilled to 9..16 bits), so a second
// request that finds the input exhausted means the stream is cut short: stop
// there instead of writing on.
struct Tlzrw1::LzhDecodeReader {
  static constexpr int kEmptyReadsOfACompleteStream = 1;
  Tlzrw1& c;
  int emptyReads = 0;
  void operator()(uint8_t* buffer, uint16_t count, uint16_t& delivered) {
    c.GetBytes(buffer, count, delivered);
    if (delivered == 0 && ++emptyReads > kEmptyReadsOfACompleteStream)
      throw ELzrw1Exception(kLzhSizesMsg);
  }
};
struct Tlzrw1::LzhWriter {
  Tlzrw1& c;
  void operator()(const uint8_t* buffer, uint16_t count, uint16_t& written) {
    c.PutBytes(buffer, count, written);
  }
};

Tlzrw1::Tlzrw1(TComponent* owner) : TComponent(owner) {
  CompressMode = TCompressMode::Good;
  UseStream = false;
  Threshold = 40;
  Lzh = std::make_unique<TLZH>();
  Lzr = std::make_unique<TLZR>();
}

Tlzrw1::~Tlzrw1() {
  Lzh.reset();
  Lzr.reset();
}

void Tlzrw1::Loaded() { TComponent::Loaded(); }

// ---------------------------------------------------------------- channels

int32_t Tlzrw1::ReadInput(void* buffer, int32_t count) {
  return UseStream ? InputStream->Read(buffer, count) : FileRead(InHandle, buffer, count);
}

int32_t Tlzrw1::WriteOutput(const void* buffer, int32_t count) {
  return UseStream ? OutputStream->Write(buffer, count) : FileWrite(OutHandle, buffer, count);
}

void Tlzrw1::RequireStreams(bool needOutput) const {
  if (!UseStream) return;
  if (InputStream == nullptr) throw ELzrw1Exception(kInitInputMsg);
  if (needOutput && OutputStream == nullptr) throw ELzrw1Exception(kInitOutputMsg);
}

void Tlzrw1::ObtainBuffers(const char* message) {
  InBuffer = static_cast<uint8_t*>(AllocMem(IoBufferSize));
  if (InBuffer == nullptr) throw ELzrw1Exception(message);
  OutBuffer = static_cast<uint8_t*>(AllocMem(IoBufferSize));
  if (OutBuffer == nullptr) {
    FreeMem(InBuffer);
    InBuffer = nullptr;
    throw ELzrw1Exception(message);
  }
  ReadBuffer = InBuffer;
  WriteBuffer = OutBuffer;
}

void Tlzrw1::ReleaseBuffers() {
  FreeMem(InBuffer);
  FreeMem(OutBuffer);
  InBuffer = OutBuffer = ReadBuffer = WriteBuffer = nullptr;
}

// Stream mode: both streams must answer their position (nothing moves).
// Named-file mode: open the input exclusively, create/truncate the output.
void Tlzrw1::OpenChannels() {
  if (UseStream) {
    if (InputStream->Position() < 0) throw ELzrw1Exception(kInitInputMsg);
    if (OutputStream->Position() < 0) throw ELzrw1Exception(kInitOutputMsg);
    return;
  }
  InHandle = FileOpen(InputFile, fmOpenRead | fmShareExclusive);
  if (InHandle < 0) throw ELzrw1Exception(kOpenInputMsg + InputFile);
  OutHandle = FileCreate(OutputFile);
  if (OutHandle < 0) throw ELzrw1Exception(kOpenOutputMsg + OutputFile);
}

void Tlzrw1::CloseChannels() {
  if (InHandle > 0) FileClose(InHandle);
  if (OutHandle > 0) FileClose(OutHandle);
  InHandle = OutHandle = 0;
}

// The transfer part of Compress and Decompress. Stream mode absorbs a failure
// (recording it for Failed()); named-file mode removes the partial output
// file and lets the failure go on to the caller.
template <class Body>
void Tlzrw1::RunGuarded(Body body) {
  try {
    body();
  } catch (const Exception& e) {
    if (UseStream) {
      failed_ = true;
      failureMessage_ = e.Message();
      return;
    }
    if (OutHandle > 0) FileClose(OutHandle);
    OutHandle = 0;
    DeleteFile(OutputFile);
    throw;
  }
}

// Resets the failure record at the start of a public operation and records
// the failure that leaves it.
template <class Operation>
auto Tlzrw1::Recorded(Operation operation) {
  failed_ = false;
  failureMessage_.clear();
  try {
    return operation();
  } catch (const std::exception& e) {
    failed_ = true;
    failureMessage_ = e.what();
    throw;
  }
}

void Tlzrw1::CheckRead(int32_t result, int32_t expected) {
  if (result == expected) return;
  if (UseStream) throw ELzrw1Exception(kReadStreamMsg);
  throw ELzrw1Exception(kReadFileMsg + InputFile);
}

void Tlzrw1::CheckWrite(int32_t result, int32_t expected) {
  if (result == expected) return;
  if (UseStream) throw ELzrw1Exception(kWriteStreamMsg);
  throw ELzrw1Exception(kWriteFileMsg + OutputFile);
}

void Tlzrw1::ReportProgress() {
  BytesRead = TotalRead;
  BytesWritten = TotalWritten;
  if (ProgressHook != nullptr) ProgressHook();
}

// ------------------------------------------------------ LZH reader / writer

// Fast path: the unread bytes cover the request.
inline void Tlzrw1::GetBytes(uint8_t* destination, uint16_t count, uint16_t& delivered) {
  if (ReadFill - int32_t{ReadPos} + 1 >= int32_t{count}) [[likely]] {
    std::memcpy(destination, ReadBuffer + ReadPos - 1, count);
    ReadPos = static_cast<uint16_t>(ReadPos + count);
    delivered = count;
    return;
  }
  GetBytesRefill(destination, count, delivered);
}

// Moves the unread bytes (if any) to the front, reads the next batch behind
// them, reports progress, then serves the request from the new fill. At the
// end of the input it delivers 0 and leaves ReadPos alone, so the next call
// tries again.
void Tlzrw1::GetBytesRefill(uint8_t* destination, uint16_t count, uint16_t& delivered) {
  const int32_t unread = std::max<int32_t>(0, ReadFill - int32_t{ReadPos} + 1);
  if (unread > 0) std::memmove(ReadBuffer, ReadBuffer + ReadPos - 1, static_cast<size_t>(unread));
  const int32_t got = ReadInput(ReadBuffer + unread, BlockSize - unread);
  if (got < 0) {
    if (UseStream) throw ELzrw1Exception(std::string(kReadStreamMsg) + kLzhSuffix);
    throw ELzrw1Exception(kReadFileMsg + InputFile + kLzhSuffix);
  }
  ReadFill = unread + got;
  AddCount(TotalRead, got);
  ReportProgress();
  if (ReadFill == 0) {
    delivered = 0;
    return;
  }
  ReadPos = 1;
  // Advance by what was copied (not by count): the same "nothing unread"
  // state, without wrapping the 16-bit position on oversized requests.
  const uint16_t n = static_cast<uint16_t>(std::min<int32_t>(count, ReadFill));
  std::memcpy(destination, ReadBuffer, n);
  ReadPos = static_cast<uint16_t>(ReadPos + n);
  delivered = n;
}

// Fast path: the bytes fit behind WritePos.
inline void Tlzrw1::PutBytes(const uint8_t* source, uint16_t count, uint16_t& written) {
  if (count != 0 && int32_t{WritePos} + count <= BlockSize + 1) [[likely]] {
    std::memcpy(WriteBuffer + WritePos - 1, source, count);
    WritePos = static_cast<uint16_t>(WritePos + count);
    written = count;
    return;
  }
  PutBytesFlush(source, count, written);
}

void Tlzrw1::FlushWriteBuffer() {
  const int32_t pending = int32_t{WritePos} - 1;
  IoResult = WriteOutput(WriteBuffer, pending);
  CheckWrite(IoResult, pending);
  AddCount(TotalWritten, IoResult);
  WritePos = 1;
  ReportProgress();
}

// Count 0: write what is buffered. Otherwise the bytes do not fit: write the
// buffer, then take them in (a request larger than a whole batch goes out in
// full batches; the codec never makes one).
void Tlzrw1::PutBytesFlush(const uint8_t* source, uint16_t count, uint16_t& written) {
  FlushWriteBuffer();
  if (count == 0) return;
  int32_t left = count;
  while (left > BlockSize) {
    std::memcpy(WriteBuffer, source, BlockSize);
    WritePos = static_cast<uint16_t>(BlockSize + 1);
    FlushWriteBuffer();
    source += BlockSize;
    left -= BlockSize;
  }
  std::memcpy(WriteBuffer, source, static_cast<size_t>(left));
  WritePos = static_cast<uint16_t>(1 + left);
  written = count;
}

// Binds the callback form of the reader and writer and starts both batches
// afresh.
void Tlzrw1::BindLzhCallbacks() {
  ReadProc.Self = this;
  ReadProc.Proc = [](void* self, uint8_t* buffer, uint16_t count, uint16_t& delivered) {
    static_cast<Tlzrw1*>(self)->GetBytes(buffer, count, delivered);
  };
  WriteProc.Self = this;
  WriteProc.Proc = [](void* self, const uint8_t* buffer, uint16_t count, uint16_t& written) {
    static_cast<Tlzrw1*>(self)->PutBytes(buffer, count, written);
  };
}

// ------------------------------------------------------------- Decompress

int32_t Tlzrw1::Decompress() {
  return Recorded([this] {
    RequireStreams(true);
    ObtainBuffers(kBuffersMsg);
    ScopeExit cleanup{[this] {
      CloseChannels();
      ReleaseBuffers();
    }};
    InHandle = OutHandle = 0;
    OpenChannels();
    RunGuarded([this] {
      uint8_t magic[4];
      IoResult = ReadInput(magic, 4);
      CheckRead(IoResult, 4);
      InMagic = GetLe32(magic);
      if (InMagic != Lzrw1KhSignature && InMagic != LzhSignature) {
        if (UseStream) throw ELzrw1Exception(kNoHeaderStreamMsg);
        throw ELzrw1Exception(InputFile + kNoHeaderFileMsg);
      }
      OutCount = BlockSize;
      TotalRead = 4;
      TotalWritten = 0;
      if (InMagic == Lzrw1KhSignature)
        DecodeBlocks();
      else
        DecodeLzh();
      ReportProgress();
    });
    return TotalWritten;
  });
}

// Blocks follow one another while each decodes to a full BlockSize; the
// first shorter one is the last.
void Tlzrw1::DecodeBlocks() {
  uint8_t field[4];
  IoResult = ReadInput(field, 4);
  CheckRead(IoResult, 4);
  TotalRead += 4;
  const auto originalSize = static_cast<int32_t>(GetLe32(field));
  while (OutCount == BlockSize) {
    IoResult = ReadInput(field, 2);
    CheckRead(IoResult, 2);
    InCount = field[0] | field[1] << 8;
    // The writer never makes a block longer than BlockSize + 1; one that does
    // not even fit the input buffer is damage, and is not read.
    if (InCount > IoBufferSize) throw ELzrw1Exception(kBlockTooLongMsg);
    IoResult = ReadInput(InBuffer, InCount);
    CheckRead(IoResult, InCount);
    AddCount(TotalRead, IoResult + 2);
    OutCount = TLZR::DecompressBlock(InBuffer, OutBuffer, static_cast<uint16_t>(InCount),
                                     static_cast<uint32_t>(IoBufferSize));
    IoResult = WriteOutput(OutBuffer, OutCount);
    CheckWrite(IoResult, OutCount);
    AddCount(TotalWritten, IoResult);
    ReportProgress();
  }
  if (TotalWritten != originalSize) throw ELzrw1Exception(kBlockSizesMsg);
}

void Tlzrw1::DecodeLzh() {
  BindLzhCallbacks();
  uint8_t field[4];
  IoResult = ReadInput(field, 4);
  CheckRead(IoResult, 4);
  TotalRead += 4;
  const auto originalSize = static_cast<int32_t>(GetLe32(field));
  ReadPos = 1;
  ReadFill = 0;
  WritePos = 1;
  LzhDecodeReader reader{*this};
  LzhWriter writer{*this};
  Lzh->DecodeStream(originalSize, reader, writer);
  uint16_t written = 0;
  PutBytes(nullptr, 0, written);
  if (TotalWritten != originalSize) throw ELzrw1Exception(kLzhSizesMsg);
}

// --------------------------------------------------------------- Compress

int32_t Tlzrw1::Compress() {
  return Recorded([this] {
    RequireStreams(true);
    const TCompressMode method =
        CompressMode == TCompressMode::Auto ? Advise() : CompressMode;

    ObtainBuffers(kBuffersMsg);
    ScopeExit cleanup{[this] {
      CloseChannels();
      ReleaseBuffers();
    }};
    OutMagic = method == TCompressMode::Fast ? Lzrw1KhSignature : LzhSignature;
    InHandle = OutHandle = 0;

    // The size goes into the header before any data is read. The format
    // holds it as a signed 32-bit count: larger inputs are refused.
    const int64_t size = UseStream ? InputStream->Size() : FileSizeByName(InputFile);
    const std::string sizeMessage =
        UseStream ? std::string(kSizeStreamMsg) : kSizeFileMsg + InputFile;
    if (size < 0 || (!UseStream && size > INT32_MAX)) throw ELzrw1Exception(sizeMessage);

    OpenChannels();
    if (UseStream) {
      // Only the bytes from the current position on are compressed, so they
      // are what the header must announce.
      const int64_t remaining = std::max<int64_t>(0, size - InputStream->Position());
      if (remaining > INT32_MAX) throw ELzrw1Exception(sizeMessage);
      OriginalSize = static_cast<int32_t>(remaining);
    } else {
      OriginalSize = static_cast<int32_t>(size);
    }

    RunGuarded([this, method] {
      uint8_t field[4];
      PutLe32(field, OutMagic);
      IoResult = WriteOutput(field, 4);
      CheckWrite(IoResult, 4);
      TotalWritten = 4;
      TotalRead = 0;
      PutLe32(field, static_cast<uint32_t>(OriginalSize));
      IoResult = WriteOutput(field, 4);
      CheckWrite(IoResult, 4);
      TotalWritten += 4;
      if (method == TCompressMode::Fast)
        EncodeBlocks();
      else
        EncodeLzh();
      // A header that disagrees with the payload would make a stream that
      // cannot be decompressed: report it instead of returning success.
      if (TotalRead != OriginalSize) throw ELzrw1Exception(kInputChangedMsg);
    });
    CloseChannels();
    ReportProgress();
    return TotalWritten;
  });
}

// Pieces of BlockSize bytes until a read comes back short; input that ends on
// a piece boundary (empty input included) ends with the empty piece's block.
void Tlzrw1::EncodeBlocks() {
  InCount = BlockSize;
  TotalRead = 0;
  while (InCount == BlockSize) {
    InCount = ReadInput(InBuffer, BlockSize);
    if (InCount < 0) {
      if (UseStream) throw ELzrw1Exception(std::string(kReadStreamMsg) + kBlockSuffix);
      throw ELzrw1Exception(kReadFileMsg + InputFile + kBlockSuffix);
    }
    InCount = std::min(InCount, BlockSize);
    AddCount(TotalRead, InCount);
    OutCount = Lzr->CompressBlock(InBuffer, OutBuffer, static_cast<uint16_t>(InCount));
    const uint8_t length[2] = {static_cast<uint8_t>(OutCount), static_cast<uint8_t>(OutCount >> 8)};
    IoResult = WriteOutput(length, 2);
    CheckWrite(IoResult, 2);
    AddCount(TotalWritten, IoResult);
    IoResult = WriteOutput(OutBuffer, OutCount);
    CheckWrite(IoResult, OutCount);
    AddCount(TotalWritten, IoResult);
    ReportProgress();
  }
}

void Tlzrw1::EncodeLzh() {
  BindLzhCallbacks();
  ReadFill = 0;
  ReadPos = 1;
  WritePos = 1;
  int32_t consumed = 0;
  LzhReader reader{*this};
  LzhWriter writer{*this};
  Lzh->EncodeStream(consumed, reader, writer);
  uint16_t written = 0;
  PutBytes(nullptr, 0, written);
}

// ----------------------------------------------------------------- Advise

TCompressMode Tlzrw1::Advise() {
  return Recorded([this] {
    RequireStreams(false);
    TCompressMode result = TCompressMode::Good;
    int64_t sampled = 0;  // S
    int64_t trial = 0;    // T
    int64_t saved = 0;
    if (UseStream) {
      // A stream that cannot tell its position could not be put back.
      saved = InputStream->Position();
      if (saved < 0) throw ELzrw1Exception(kAdviseInitStreamMsg);
    }
    ObtainBuffers(kAdviseBuffersMsg);
    ScopeExit releaseBuffers{[this] { ReleaseBuffers(); }};
    InHandle = 0;

    int64_t size = 0;
    if (UseStream) {
      size = InputStream->Size();
      if (size < 0) throw ELzrw1Exception(kAdviseSizeStreamMsg);
    } else {
      size = FileSizeByName(InputFile);
      if (size < 0) throw ELzrw1Exception(kAdviseSizeFileMsg + InputFile);
    }
    OriginalSize = static_cast<int32_t>(std::min<int64_t>(size, INT32_MAX));

    if (UseStream) {
      if (InputStream->Seek(0, TSeekOrigin::Beginning) < 0)
        throw ELzrw1Exception(kAdviseInitStreamMsg);
    } else {
      InHandle = FileOpen(InputFile, fmOpenRead | fmShareExclusive);
      if (InHandle < 0) {
        InHandle = 0;
        throw ELzrw1Exception(kAdviseOpenFileMsg + InputFile);
      }
    }
    ScopeExit restore{[this, saved] {
      if (UseStream) {
        InputStream->Seek(saved, TSeekOrigin::Beginning);
      } else if (InHandle > 0) {
        FileClose(InHandle);
        InHandle = 0;
      }
    }};

    if (size < kAdviseMinimum) {
      CompressMode = TCompressMode::Good;
      return result;
    }
    // Samples at one and two thirds, each on a BlockSize boundary; for any
    // size of at least three samples they lie inside and apart.
    for (const int64_t third : {size / 3, 2 * size / 3}) {
      const int64_t offset = third / BlockSize * BlockSize;
      if (UseStream)
        InputStream->Seek(offset, TSeekOrigin::Beginning);
      else
        FileSeek(InHandle, offset, 0);
      InCount = ReadInput(InBuffer, BlockSize);
      if (InCount < 0) {
        if (UseStream) throw ELzrw1Exception(kAdviseReadStreamMsg);
        throw ELzrw1Exception(kAdviseReadFileMsg + InputFile);
      }
      InCount = std::min(InCount, BlockSize);
      sampled += InCount;
      trial += Lzr->CompressBlock(InBuffer, OutBuffer, static_cast<uint16_t>(InCount));
    }
    // 64-bit so that no Threshold can overflow; '/' truncates toward zero.
    if (trial < int64_t{Threshold} * sampled / 100) result = TCompressMode::Fast;
    return result;
  });
}
