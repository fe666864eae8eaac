// Tlzrw1: the compression component. Turns data into the self-describing
// compressed stream (8-byte header "!HZL"/"WRZL" + original size, then an LZH
// bit stream or LZRW1/KH blocks) and back, over a pair of named files or a
// pair of caller-owned streams, with progress reports through ProgressHook.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "lzh/lzh.h"
#include "lzrw1kh/lzrw1kh.h"
#include "platform/component.h"
#include "platform/exception.h"
#include "platform/stream.h"

enum class TCompressMode : uint8_t { Good = 0, Fast = 1, Auto = 2 };

constexpr int32_t BlockSize = 32768;
constexpr int32_t IoBufferSize = 32784;  // BlockSize + 16 bytes of slack
constexpr uint32_t LzhSignature = 0x4C5A4821;      // "!HZL"
constexpr uint32_t Lzrw1KhSignature = 0x4C5A5257;  // "WRZL"

class ELzrw1Exception : public Exception {
public:
  using Exception::Exception;
};

// One hook for every instance; null at start. Called synchronously at each
// progress report, after BytesRead/BytesWritten were updated.
using TProgressHook = void (*)();
extern TProgressHook ProgressHook;

// Counts are 32-bit signed throughout, as in the stream header; an input or
// output of 2 GiB or more is refused with an ELzrw1Exception rather than
// written with a wrapped size.
class Tlzrw1 : public TComponent {
public:
  // Creates the two codecs; throws ELzrw1KHCompressor when the block codec
  // cannot obtain its hash table.
  explicit Tlzrw1(TComponent* owner = nullptr);
  ~Tlzrw1() override;
  void Loaded() override;

  // Published properties; each reads and writes its member, no side effect.
  bool UseStream = false;
  std::string InputFile;
  std::string OutputFile;
  TCompressMode CompressMode = TCompressMode::Good;
  int32_t Threshold = 40;
  int32_t BytesRead = 0;
  int32_t BytesWritten = 0;

  // Stream mode channels, owned by the caller. Reading starts at the input's
  // current position, writing at the output's; the component never closes,
  // frees or rewinds them. An operation in stream mode with either one null
  // fails with ELzrw1Exception before any stream is touched.
  TStream* InputStream = nullptr;
  TStream* OutputStream = nullptr;

  // Compresses the input into one stream (method from CompressMode; Auto asks
  // Advise) and returns the bytes written, header included. Failures before
  // the header raise in both modes. Later failures: named-file mode deletes
  // the output file and raises; stream mode absorbs them and returns the
  // count written so far (see Failed()).
  int32_t Compress();
  // Decodes one stream (method from its signature) and returns the bytes
  // written. Same failure rules as Compress.
  int32_t Decompress();
  // Recommends Fast or Good by trial-compressing two 32 KB samples; inputs
  // shorter than 98304 bytes get Good and set CompressMode to Good. Leaves the
  // input as found (stream position restored, file closed); always raises.
  TCompressMode Advise();

  // Whether the last Compress/Decompress/Advise failed, and its message. In
  // stream mode Compress and Decompress absorb their failures and return the
  // count so far; this is how a caller still learns of them.
  bool Failed() const { return failed_; }
  const std::string& FailureMessage() const { return failureMessage_; }

private:
  struct LzhReader;
  struct LzhDecodeReader;
  struct LzhWriter;

  // Codecs, owned for the component's whole life.
  std::unique_ptr<TLZH> Lzh;
  std::unique_ptr<TLZR> Lzr;

  // Working storage of one operation.
  uint8_t* ReadBuffer = nullptr;   // what GetBytes reads from (= InBuffer)
  uint8_t* WriteBuffer = nullptr;  // what PutBytes fills (= OutBuffer)
  uint8_t* InBuffer = nullptr;     // IoBufferSize bytes, per operation
  uint8_t* OutBuffer = nullptr;    // IoBufferSize bytes, per operation
  int32_t InHandle = 0;            // named-file mode; 0 = not open
  int32_t OutHandle = 0;
  int32_t InCount = 0;   // length of the current input piece
  int32_t OutCount = 0;  // length produced from it
  int32_t IoResult = 0;  // result of the last channel transfer
  uint32_t InMagic = 0;
  uint32_t OutMagic = 0;
  int32_t TotalRead = 0;     // bytes consumed from the input
  int32_t TotalWritten = 0;  // bytes delivered to the output
  int32_t OriginalSize = 0;  // size written into the header by Compress
  int32_t ReadFill = 0;      // valid bytes in ReadBuffer
  uint16_t ReadPos = 1;      // next unread byte of ReadBuffer, from 1
  uint16_t WritePos = 1;     // next free byte of WriteBuffer, from 1
  TReadBytesProc ReadProc;   // the callback form of GetBytes
  TWriteBytesProc WriteProc; // the callback form of PutBytes

  bool failed_ = false;
  std::string failureMessage_;

  // Raise the read (write) error of the current mode when result != expected.
  void CheckRead(int32_t result, int32_t expected);
  void CheckWrite(int32_t result, int32_t expected);
  // The LZH codec's reader: up to count bytes from the input, in batches of
  // BlockSize; delivered = 0 at end of input (each call then retries the read).
  void GetBytes(uint8_t* destination, uint16_t count, uint16_t& delivered);
  // The LZH codec's writer: buffers bytes, writes full batches of BlockSize;
  // count 0 writes what is buffered.
  void PutBytes(const uint8_t* source, uint16_t count, uint16_t& written);
  // Copies TotalRead/TotalWritten into BytesRead/BytesWritten, calls the hook.
  void ReportProgress();
  void DecodeBlocks();
  void DecodeLzh();
  void EncodeBlocks();
  void EncodeLzh();

  // Out-of-line halves of GetBytes/PutBytes: the refill and the flush.
  void GetBytesRefill(uint8_t* destination, uint16_t count, uint16_t& delivered);
  void PutBytesFlush(const uint8_t* source, uint16_t count, uint16_t& written);
  void FlushWriteBuffer();
  void BindLzhCallbacks();

  int32_t ReadInput(void* buffer, int32_t count);
  int32_t WriteOutput(const void* buffer, int32_t count);
  void RequireStreams(bool needOutput) const;
  void ObtainBuffers(const char* message);
  void ReleaseBuffers();
  void OpenChannels();
  void CloseChannels();
  template <class Body>
  void RunGuarded(Body body);
  template <class Operation>
  auto Recorded(Operation operation);
};
