#include "platform/stream.h"

#include <algorithm>
#include <cstring>

#include "platform/exception.h"
#include "platform/files.h"

int64_t TStream::Size() {
  const int64_t pos = Seek(0, TSeekOrigin::Current);
  if (pos < 0) return -1;
  const int64_t end = Seek(0, TSeekOrigin::End);
  if (Seek(pos, TSeekOrigin::Beginning) < 0) return -1;
  return end;
}

int32_t TMemoryStream::Read(void* buffer, int32_t count) {
  if (count < 0) return -1;
  if (pos_ >= data_.size()) return 0;
  const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(count), data_.size() - pos_);
  if (n) std::memcpy(buffer, data_.data() + pos_, n);
  pos_ += n;
  return static_cast<int32_t>(n);
}

int32_t TMemoryStream::Write(const void* buffer, int32_t count) {
  if (count < 0) return -1;
  const std::size_t n = static_cast<std::size_t>(count);
  if (pos_ + n > data_.size()) data_.resize(pos_ + n);
  if (n) std::memcpy(data_.data() + pos_, buffer, n);
  pos_ += n;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = 0;
  if (origin == TSeekOrigin::Current) base = static_cast<int64_t>(pos_);
  if (origin == TSeekOrigin::End) base = static_cast<int64_t>(data_.size());
  const int64_t target = base + offset;
  if (target < 0) return -1;
  pos_ = static_cast<std::size_t>(target);
  return target;
}

int32_t THandleStream::Read(void* buffer, int32_t count) { return FileRead(handle_, buffer, count); }

int32_t THandleStream::Write(const void* buffer, int32_t count) {
  return FileWrite(handle_, buffer, count);
}

int64_t THandleStream::Seek(int64_t offset, TSeekOrigin origin) {
  return FileSeek(handle_, offset, static_cast<int>(origin));
}

TFileStream::TFileStream(const std::string& path, uint32_t mode) : THandleStream(-1) {
  if (mode == fmCreate) {
    handle_ = FileCreate(path);
    if (handle_ < 0) throw EFCreateError("Cannot create file " + path);
  } else {
    handle_ = FileOpen(path, mode);
    if (handle_ < 0) throw EFOpenError("Cannot open file " + path);
  }
}

TFileStream::~TFileStream() {
  if (handle_ >= 0) FileClose(handle_);
}
