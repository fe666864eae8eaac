// Files on POSIX. Share modes have no POSIX counterpart and are not enforced.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/fault_injection.h"
#include "platform/files.h"

namespace {
// Test hooks (platform/fault_injection.h): calls left before the failing one,
// or -1 when off.
int readFailAfter = -1;
int writeFailAfter = -1;

// Counts one call down; true when this is the call that must fail.
bool InjectedFailure(int& after) {
  if (after < 0) return false;
  if (after-- == 0) return true;
  return false;
}

// POSIX descriptors fit a 32-bit handle; a descriptor that does not (never
// seen) is treated as a failed open rather than truncated.
int32_t AsHandle(int fd) {
  if (fd < 0) return -1;
  if (fd > INT32_MAX) {
    ::close(fd);
    return -1;
  }
  return static_cast<int32_t>(fd);
}
}  // namespace

std::string NativePath(const std::string& path) {
  std::string out = path;
  for (char& c : out)
    if (c == '\\') c = '/';
  return out;
}

int32_t FileOpen(const std::string& path, uint32_t mode) {
  int flags = O_RDONLY;
  switch (mode & 3) {
    case fmOpenWrite: flags = O_WRONLY; break;
    case fmOpenReadWrite: flags = O_RDWR; break;
    default: break;
  }
  const std::string native = NativePath(path);
  const int fd = ::open(native.c_str(), flags | O_CLOEXEC);
  if (fd >= 0) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
      ::close(fd);
      return -1;
    }
  }
  return AsHandle(fd);
}

int32_t FileCreate(const std::string& path) {
  const std::string native = NativePath(path);
  return AsHandle(::open(native.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
}

int32_t FileRead(int32_t handle, void* buffer, int32_t count) {
  if (count < 0 || InjectedFailure(readFailAfter)) return -1;
  char* p = static_cast<char*>(buffer);
  int32_t done = 0;
  // Read until count or end of file, so that pipes behave like files.
  while (done < count) {
    const ssize_t n = ::read(handle, p + done, static_cast<size_t>(count - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<int32_t>(n);
  }
  return done;
}

int32_t FileWrite(int32_t handle, const void* buffer, int32_t count) {
  if (count < 0 || InjectedFailure(writeFailAfter)) return -1;
  const char* p = static_cast<const char*>(buffer);
  int32_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(handle, p + done, static_cast<size_t>(count - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return done > 0 ? done : -1;
    }
    done += static_cast<int32_t>(n);
  }
  return done;
}

int64_t FileSeek(int32_t handle, int64_t offset, int origin) {
  const int whence = origin == 1 ? SEEK_CUR : origin == 2 ? SEEK_END : SEEK_SET;
  const off_t r = ::lseek(handle, static_cast<off_t>(offset), whence);
  return r < 0 ? -1 : static_cast<int64_t>(r);
}

void FileClose(int32_t handle) {
  if (handle >= 0) ::close(handle);
}

bool DeleteFile(const std::string& path) { return ::unlink(NativePath(path).c_str()) == 0; }

bool CreateDir(const std::string& path) { return ::mkdir(NativePath(path).c_str(), 0755) == 0; }

void InjectFileReadFailure(int after) noexcept { readFailAfter = after; }
void InjectFileWriteFailure(int after) noexcept { writeFailAfter = after; }
