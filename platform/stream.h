// Byte streams. Every operation reports failure by a negative result; none
// throws. Positions and sizes are 64-bit here; the compressed format and the
// archive limit them to 31 bits and check that themselves.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

enum class TSeekOrigin { Beginning = 0, Current = 1, End = 2 };

class TStream {
public:
  virtual ~TStream() = default;
  // Reads up to count bytes; answers the number read (0 at the end), or < 0.
  virtual int32_t Read(void* buffer, int32_t count) = 0;
  // Writes count bytes; answers the number written, or < 0.
  virtual int32_t Write(const void* buffer, int32_t count) = 0;
  // Moves the position; answers the new position, or < 0.
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  // The whole stream's size, leaving the position where it was; < 0 on failure.
  virtual int64_t Size();
  int64_t Position() { return Seek(0, TSeekOrigin::Current); }
};

// A growable stream held in memory.
class TMemoryStream : public TStream {
public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::vector<uint8_t> data) : data_(std::move(data)) {}
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return static_cast<int64_t>(data_.size()); }
  std::vector<uint8_t>& Data() { return data_; }
  const std::vector<uint8_t>& Data() const { return data_; }

private:
  std::vector<uint8_t> data_;
  std::size_t pos_ = 0;
};

// A stream over a file handle of platform/files.h. TFileStream opens or
// creates the file itself and throws EFOpenError ("Cannot open file %s") or
// EFCreateError ("Cannot create file %s") when it cannot.
class THandleStream : public TStream {
public:
  explicit THandleStream(int32_t handle) : handle_(handle) {}
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int32_t Handle() const { return handle_; }

protected:
  int32_t handle_;
};

class TFileStream : public THandleStream {
public:
  // mode: fmCreate, or an fmOpen* access ORed with an fmShare* mode.
  TFileStream(const std::string& path, uint32_t mode);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;
};
