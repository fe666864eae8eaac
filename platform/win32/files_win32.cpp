// Files on Win32, through the ANSI kernel32 calls. A handle is the Win32
// HANDLE value, which fits 32 bits on this target; INVALID_HANDLE_VALUE is -1.
#include <windows.h>
#undef DeleteFile  // the macro would rename our DeleteFile to DeleteFileA

#include <climits>

#include "platform/files.h"

static_assert(sizeof(HANDLE) == sizeof(int32_t), "handles are 32-bit on this target");

namespace {
HANDLE AsWin32(int32_t handle) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle)); }

int32_t AsHandle(HANDLE h) {
  if (h == INVALID_HANDLE_VALUE) return -1;
  const auto value = static_cast<int32_t>(reinterpret_cast<intptr_t>(h));
  if (value < 0) {  // never seen for a file handle; refuse rather than misreport
    CloseHandle(h);
    return -1;
  }
  return value;
}

// Share modes by fmShare* value (bits 4 to 6): compatibility mode and
// exclusive deny everyone, deny-write lets others read, deny-none lets
// others read and write.
DWORD ShareFlags(uint32_t mode) {
  switch (mode & 0xF0) {
    case fmShareDenyWrite: return FILE_SHARE_READ;
    case fmShareDenyNone: return FILE_SHARE_READ | FILE_SHARE_WRITE;
    default: return 0;
  }
}
}  // namespace

std::string NativePath(const std::string& path) { return path; }

int32_t FileOpen(const std::string& path, uint32_t mode) {
  DWORD access = GENERIC_READ;
  switch (mode & 3) {
    case fmOpenWrite: access = GENERIC_WRITE; break;
    case fmOpenReadWrite: access = GENERIC_READ | GENERIC_WRITE; break;
    default: break;
  }
  return AsHandle(CreateFileA(path.c_str(), access, ShareFlags(mode), nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
}

int32_t FileCreate(const std::string& path) {
  return AsHandle(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

int32_t FileRead(int32_t handle, void* buffer, int32_t count) {
  if (count < 0) return -1;
  DWORD done = 0;
  if (!ReadFile(AsWin32(handle), buffer, static_cast<DWORD>(count), &done, nullptr)) return -1;
  return static_cast<int32_t>(done);
}

int32_t FileWrite(int32_t handle, const void* buffer, int32_t count) {
  if (count < 0) return -1;
  DWORD done = 0;
  if (!WriteFile(AsWin32(handle), buffer, static_cast<DWORD>(count), &done, nullptr)) return -1;
  return static_cast<int32_t>(done);
}

int64_t FileSeek(int32_t handle, int64_t offset, int origin) {
  const DWORD method = origin == 1 ? FILE_CURRENT : origin == 2 ? FILE_END : FILE_BEGIN;
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  LARGE_INTEGER position;
  if (!SetFilePointerEx(AsWin32(handle), distance, &position, method)) return -1;
  return position.QuadPart;
}

void FileClose(int32_t handle) {
  if (handle >= 0) CloseHandle(AsWin32(handle));
}

bool DeleteFile(const std::string& path) { return DeleteFileA(path.c_str()) != 0; }

bool CreateDir(const std::string& path) { return CreateDirectoryA(path.c_str(), nullptr) != 0; }
