/* The protocol header compiled as C: the record's layout as a C splash
   program sees it. */
#include <stddef.h>

#include "shell/splash_protocol.h"

size_t SplashRecordLayoutFromC(size_t field) {
  static const size_t offsets[] = {offsetof(TSplashProgress, FileName),
                                   offsetof(TSplashProgress, BytesRead),
                                   offsetof(TSplashProgress, BytesWritten),
                                   offsetof(TSplashProgress, Percent), sizeof(TSplashProgress)};
  return field < sizeof offsets / sizeof offsets[0] ? offsets[field] : 0;
}
