#include "progress_model.h"

#include <algorithm>
#include <cstring>

#include "shell/splash_protocol.h"

namespace demo_splash {

namespace {

int32_t ReadI32(const uint8_t* P) {
  uint32_t V = uint32_t(P[0]) | uint32_t(P[1]) << 8 | uint32_t(P[2]) << 16 | uint32_t(P[3]) << 24;
  int32_t S;
  std::memcpy(&S, &V, sizeof S);
  return S;
}

}  // namespace

bool DecodeProgress(const void* Data, size_t Size, ProgressRecord& Out) {
  if (Data == nullptr || Size != sizeof(TSplashProgress)) return false;
  const auto* P = static_cast<const uint8_t*>(Data);
  // Only the first L bytes of the name field are text; the rest may hold
  // leftovers of an earlier, longer name.
  Out.FileName.assign(reinterpret_cast<const char*>(P + 1), P[0]);
  Out.BytesRead = ReadI32(P + offsetof(TSplashProgress, BytesRead));
  Out.BytesWritten = ReadI32(P + offsetof(TSplashProgress, BytesWritten));
  Out.Percent = P[offsetof(TSplashProgress, Percent)];
  return true;
}

bool EncodeCountedString(const std::string& Text, std::vector<uint8_t>& Out) {
  if (Text.size() > 255) return false;
  Out.assign(1, static_cast<uint8_t>(Text.size()));
  Out.insert(Out.end(), Text.begin(), Text.end());
  return true;
}

void ProgressModel::SetPackage(std::vector<int64_t> PackedSizes) {
  Packed_ = std::move(PackedSizes);
  PackedBefore_.assign(Packed_.size(), 0);
  PackedTotal_ = 0;
  for (size_t I = 0; I < Packed_.size(); ++I) {
    PackedBefore_[I] = PackedTotal_;
    PackedTotal_ += std::max<int64_t>(Packed_[I], 0);
  }
}

bool ProgressModel::Apply(const ProgressRecord& R) {
  const bool NewFile = Files_ == 0 || R.FileName != Last_.FileName || R.BytesRead < Last_.BytesRead;
  if (NewFile) {
    if (Files_ > 0) WrittenBefore_ += Last_.BytesWritten;
    ++Files_;
    FileFraction_ = 0.0;
  }
  Last_ = R;

  // The unpacker's percentage is the read counter over the packed size, and
  // the read counter includes read-ahead: one refill can reach far past the
  // end of a small file, so the value goes beyond 100 and, being one byte,
  // wraps (360 % arrives as 104, 273 % as 17). A wrapped value cannot be told
  // from a true one, so the bar keeps the highest value seen for the file,
  // capped at 100; a file that stops short of 100 is complete all the same
  // once the next file starts. When the packed sizes are known the
  // percentage is worked out here from the read counter instead, which is
  // exact up to the cap.
  const int Index = Files_ - 1;
  double Fraction;
  if (Index < FileCount() && Packed_[Index] > 0) {
    const int64_t Read = std::clamp<int64_t>(R.BytesRead, 0, Packed_[Index]);
    Fraction = static_cast<double>(Read) / static_cast<double>(Packed_[Index]);
  } else {
    Fraction = std::min<int>(R.Percent, 100) / 100.0;
  }
  FileFraction_ = std::max(FileFraction_, Fraction);
  OverallMax_ = std::max(OverallMax_, Overall());
  return NewFile;
}

void ProgressModel::Finish(bool Ok) {
  Finished_ = true;
  Ok_ = Ok;
}

double ProgressModel::Overall() const {
  if (Finished_ && Ok_) return 1.0;
  double Now;
  const int Index = Files_ - 1;
  if (Index < 0) {
    Now = 0.0;
  } else if (PackedTotal_ > 0 && Index < FileCount()) {
    const double Current = static_cast<double>(std::max<int64_t>(Packed_[Index], 0)) * FileFraction_;
    Now = (static_cast<double>(PackedBefore_[Index]) + Current) / static_cast<double>(PackedTotal_);
  } else {
    // Without the package (or past its end) only the current file is known.
    Now = FileFraction_;
  }
  return std::max(Now, HasPackage() ? OverallMax_ : 0.0);
}

}  // namespace demo_splash
