// Read-only inspection of an archive for tools: why a file is not an archive
// the unpacker can load, where its catalogue begins, and the 8-byte header of
// an entry's compressed stream.
#pragma once
#include <cstdint>
#include <string>

#include "platform/stream.h"

struct TStreamHeader {
  uint32_t Signature = 0;     // LzhSignature, Lzrw1KhSignature or anything else
  int32_t OriginalSize = 0;   // size of the decompressed data
};

// Reads the stream header at Offset of Archive. False when the 8 bytes cannot
// be read whole (the offset lies too near the end of the stream or beyond).
bool ReadStreamHeader(TStream& Archive, int64_t Offset, TStreamHeader& Header);

// "lzh" or "lzrw1kh" for the two signatures, nullptr for anything else.
const char* StreamMethodName(uint32_t Signature);

// The trailer of a file as the catalogue loader sees it.
struct TArchiveLayout {
  int64_t FileSize = 0;
  int64_t Count = 0;            // record count from the last 4 bytes (signed)
  int64_t CatalogueStart = 0;   // offset of record 0 = end of the entry data
};

// Examines ArchivePath the way LoadCatalogue reads it. Returns an empty
// string and fills Layout when LoadCatalogue would accept the file; otherwise
// a sentence saying why not (cannot be opened, too short, count 0, count
// above 501, records that would begin before the start of the file).
std::string DiagnoseArchive(const std::string& ArchivePath, TArchiveLayout& Layout);
