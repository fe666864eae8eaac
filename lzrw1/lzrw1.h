// Tlzrw1: the compression component. Turns data into the self-describing
// compressed stream (8-byte header "!HZL"/"WRZL" + original size, then an LZH
// bit stream or LZRW1/KH blocks) and back, over a pair of named files or a
// pair of caller-owned streams, with progress reports through ProgressHook.
#pragma once
#include <cstdint>
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

// (The helper that implements the component completes this class. The archive
// layer and the tools rely on exactly the public members declared here.)
class Tlzrw1 : public TComponent {
public:
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

  // Stream mode channels, owned by the caller.
  TStream* InputStream = nullptr;
  TStream* OutputStream = nullptr;

  int32_t Compress();
  int32_t Decompress();
  TCompressMode Advise();

  // Whether the last Compress/Decompress/Advise failed, and its message. In
  // stream mode Compress and Decompress absorb their failures and return the
  // count so far; this is how a caller still learns of them.
  bool Failed() const { return failed_; }
  const std::string& FailureMessage() const { return failureMessage_; }

private:
  bool failed_ = false;
  std::string failureMessage_;
};
