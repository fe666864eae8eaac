// Packs a demo installer: the unpacker stub followed by an archive of the
// given files, the demo splash program first (it is the file the unpacker
// runs). Each file is stored under its own name, without its folder.
//
// Usage: pack_demo STUB OUTPUT SPLASH [FILE...]
#include <cstdio>
#include <exception>
#include <string>

#include "archive/archive_writer.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s STUB OUTPUT SPLASH [FILE...]\n", argv[0]);
    return 2;
  }
  try {
    TArchiveWriter Writer;
    for (int I = 3; I < argc; ++I) {
      std::string Path = argv[I];
      size_t Cut = Path.find_last_of('/');
      Writer.AddFile(Path, Cut == std::string::npos ? Path : Path.substr(Cut + 1));
    }
    Writer.Write(argv[1], argv[2]);
    for (const TArchiveItem& Item : Writer.Items())
      std::printf("  %-20s %9lld bytes, packed %9u\n", Item.FileName.c_str(),
                  static_cast<long long>(Item.OriginalSize), Item.EndOffset - Item.StartOffset);
  } catch (const std::exception& E) {
    std::fprintf(stderr, "pack_demo: %s\n", E.what());
    return 1;
  }
  return 0;
}
