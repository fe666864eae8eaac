// Files by handle and by name. Handles are 32-bit; a negative handle means the
// open failed. Paths are given in Windows form ('\' separators); the portable
// backend maps them to native paths at this boundary (see NativePath).
#pragma once
#include <cstdint>
#include <string>

enum : uint32_t {
  fmOpenRead = 0x0000,
  fmOpenWrite = 0x0001,
  fmOpenReadWrite = 0x0002,
  fmShareExclusive = 0x0010,
  fmShareDenyWrite = 0x0020,
  fmShareDenyNone = 0x0040,
  fmCreate = 0xFFFF,  // create, or truncate an existing file; read-write, not shared
};

int32_t FileOpen(const std::string& path, uint32_t mode);
int32_t FileCreate(const std::string& path);  // read-write, truncating, not shared
int32_t FileRead(int32_t handle, void* buffer, int32_t count);         // -1 on failure
int32_t FileWrite(int32_t handle, const void* buffer, int32_t count);  // -1 on failure
int64_t FileSeek(int32_t handle, int64_t offset, int origin);          // -1 on failure
void FileClose(int32_t handle);
bool DeleteFile(const std::string& path);
// The length of a named file, found by opening it for reading and writing with
// others allowed to read and write it; < 0 when it cannot be opened.
int64_t FileSizeByName(const std::string& path);
// Creates one directory level; false when it could not (exists, no parent).
bool CreateDir(const std::string& path);
// The path as the operating system takes it: '\' becomes '/' on POSIX.
std::string NativePath(const std::string& path);
