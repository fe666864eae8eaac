// The file services that are built from the backend's own operations.
#include "platform/files.h"

int64_t FileSizeByName(const std::string& path) {
  const int32_t h = FileOpen(path, fmOpenReadWrite | fmShareDenyNone);
  if (h < 0) return -1;
  const int64_t size = FileSeek(h, 0, 2);
  FileClose(h);
  return size;
}
