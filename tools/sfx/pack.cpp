// sfx pack: stub + splash program + files and folders -> installer, written
// through TArchiveWriter into a temporary file that replaces OUT only when
// it is complete.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

#include "archive/archive_writer.h"
#include "platform/fault_injection.h"
#include "platform/files.h"
#include "tools/sfx/sfx.h"

namespace fs = std::filesystem;

namespace sfx {
namespace {

const char* const kPackHelp =
    "Usage: sfx pack -o OUT.exe [--stub STUB.exe] [-m good|fast|auto] [-q] SPLASH.exe [PATH...]\n"
    "\n"
    "Writes an installer: the unpacker stub followed by an archive whose first\n"
    "entry is SPLASH.exe (the program the unpacker runs first), then every PATH\n"
    "in the order given. A folder adds its files recursively in sorted order,\n"
    "stored under their paths relative to it, with an entry for each subfolder.\n"
    "The unpacker writes every file by its name alone into one target folder.\n"
    "\n"
    "Options:\n"
    "  -o, --output OUT     the installer to write (replaced only when complete)\n"
    "      --stub STUB      the unpacker stub, a 32-bit Windows program\n"
    "                       (default: ../win32/unpacker.exe beside this program)\n"
    "  -m, --method METHOD  good (LZH, the default), fast (LZRW1/KH), or auto\n"
    "                       (chosen per file by trial compression)\n"
    "  -q, --quiet          no progress display\n"
    "  -h, --help           show this help\n";

struct PackItem {
  std::string Input;       // native path of the file; empty for a folder
  std::string FileName;    // stored FileName
  std::string SourcePath;  // stored SourcePath (without the folder marker)
  bool IsDirectory = false;
};

// ---------------------------------------------------------------- names

// Why Windows could not create a file of this name, or empty.
std::string WindowsNameProblem(const std::string& name) {
  for (unsigned char c : name) {
    if (c < 0x20) return "the name holds a control character";
    if (std::strchr("<>:\"\\|?*", c))
      return std::string("the name holds '") + static_cast<char>(c) +
             "', which Windows does not allow in file names";
  }
  if (!name.empty() && (name.back() == '.' || name.back() == ' '))
    return "Windows drops a trailing dot or space from file names";
  std::string stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  std::transform(stem.begin(), stem.end(), stem.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  static const char* const reserved[] = {"CON", "PRN", "AUX", "NUL"};
  bool device = std::find_if(std::begin(reserved), std::end(reserved),
                             [&](const char* r) { return stem == r; }) != std::end(reserved);
  if (stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
      stem[3] >= '1' && stem[3] <= '9')
    device = true;
  if (device) return "\"" + stem + "\" names a device on Windows";
  return std::string();
}

void CheckWindowsName(const std::string& path, const std::string& name) {
  const std::string why = WindowsNameProblem(name);
  if (!why.empty()) throw Failure{path, why};
}

std::string LastPart(const std::string& path) {
  fs::path p(path);
  std::string name = p.filename().string();
  if (name.empty()) name = p.parent_path().filename().string();  // "dir/"
  return name;
}

// ------------------------------------------------------------- collecting

// Adds the contents of the folder Native (stored as Relative, Windows form;
// empty at the top) in sorted order: each subfolder's entry comes before
// what lies in it.
void AddFolder(const fs::path& Native, const std::string& Relative, std::vector<PackItem>& Items) {
  std::vector<fs::directory_entry> children;
  std::error_code ec;
  for (fs::directory_iterator it(Native, ec), end; !ec && it != end; it.increment(ec))
    children.push_back(*it);
  if (ec) throw Failure{Native.string(), "cannot read the folder: " + ec.message()};
  std::sort(children.begin(), children.end(),
            [](const fs::directory_entry& a, const fs::directory_entry& b) {
              return a.path().filename().string() < b.path().filename().string();
            });
  for (const fs::directory_entry& child : children) {
    const std::string name = child.path().filename().string();
    const std::string native = child.path().string();
    const std::string stored = Relative.empty() ? name : Relative + "\\" + name;
    std::error_code sec;
    const fs::file_status link = child.symlink_status(sec);
    if (!sec && fs::is_directory(link)) {
      CheckWindowsName(native, name);
      Items.push_back({std::string(), std::string(), stored, true});
      AddFolder(child.path(), stored, Items);
      continue;
    }
    const fs::file_status target = child.status(sec);
    if (sec) throw Failure{native, "cannot read: " + sec.message()};
    if (fs::is_regular_file(target)) {
      CheckWindowsName(native, name);
      Items.push_back({native, name, stored, false});
    } else if (fs::is_directory(target)) {
      Warn(native, "a link to a folder is not followed; left out");
    } else {
      Warn(native, "not a regular file; left out");
    }
  }
}

std::vector<PackItem> Collect(const std::vector<std::string>& Operands) {
  std::vector<PackItem> items;
  for (std::size_t i = 0; i < Operands.size(); ++i) {
    const std::string& path = Operands[i];
    RequireNoBackslash(path);
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (ec || !fs::exists(st)) throw Failure{path, "no such file or folder"};
    if (fs::is_directory(st)) {
      if (i == 0) throw Failure{path, "the splash program must be a file, not a folder"};
      AddFolder(path, std::string(), items);
    } else if (fs::is_regular_file(st)) {
      const std::string name = LastPart(path);
      CheckWindowsName(path, name);
      items.push_back({path, name, name, false});
    } else {
      throw Failure{path, "not a regular file or folder"};
    }
  }
  return items;
}

// The unpacker names every output by its FileName, a folder entry's too, and
// decodes the data at its start offset, where the next file's stream lies
// (a folder entry has no data of its own). Giving a folder entry that file's
// name makes the unpacker write the same file twice, rather than a stray file
// named after the folder. A folder that no file follows would make it decode
// the catalogue and fail, so such folders are left out.
void NameFolderEntries(std::vector<PackItem>& Items) {
  std::string next;
  for (std::size_t i = Items.size(); i-- > 0;) {
    if (!Items[i].IsDirectory) {
      next = Items[i].FileName;
    } else if (next.empty()) {
      Warn(Items[i].SourcePath, "folder left out: no file follows it in the archive");
      Items.erase(Items.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      Items[i].FileName = next;
    }
  }
}

// Windows file names ignore case, and the unpacker writes every file into one
// folder: files whose names collide overwrite one another there.
void WarnAboutCollisions(const std::vector<PackItem>& Items) {
  std::map<std::string, std::vector<std::string>> byName;
  for (const PackItem& item : Items) {
    if (item.IsDirectory) continue;
    std::string key = item.FileName;
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    byName[key].push_back(item.Input);
  }
  for (const auto& [key, inputs] : byName)
    if (inputs.size() > 1)
      Warn(inputs.back(), std::to_string(inputs.size()) + " files are named \"" + key +
                              "\"; the unpacker keeps only the last one");
}

// ------------------------------------------------------------------ stub

std::string DefaultStub() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) throw Failure{"--stub", "cannot find this program's folder; give the stub with --stub"};
  self[n] = '\0';
  const fs::path dir = fs::path(self).parent_path();
  const fs::path stub = (dir / ".." / "win32" / "unpacker.exe").lexically_normal();
  std::error_code ec;
  if (fs::is_regular_file(stub, ec)) return stub.string();
  throw Failure{stub.string(), "the default unpacker stub is missing (build it, or give one with --stub)"};
}

// The stub must be a Windows program: an "MZ" header whose e_lfanew points
// at a "PE\0\0" signature followed by the i386 machine type.
void CheckStub(const std::string& path) {
  RequireNoBackslash(path);
  std::error_code ec;
  if (!fs::exists(path, ec)) throw Failure{path, "no such file"};
  if (!fs::is_regular_file(path, ec)) throw Failure{path, "the stub is not a regular file"};
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw Failure{path, std::string("cannot open: ") + std::strerror(errno)};
  uint8_t dos[64] = {};
  const ssize_t got = ::pread(fd, dos, sizeof dos, 0);
  const char* const notPe = "the stub is not a Windows program (PE file)";
  if (got < 2 || dos[0] != 'M' || dos[1] != 'Z') {
    ::close(fd);
    throw Failure{path, std::string(notPe) + ": no \"MZ\" header"};
  }
  if (got < 64) {
    ::close(fd);
    throw Failure{path, std::string(notPe) + ": its header is cut short"};
  }
  const uint32_t lfanew = dos[60] | dos[61] << 8 | dos[62] << 16 | static_cast<uint32_t>(dos[63]) << 24;
  uint8_t pe[6] = {};
  const ssize_t peGot = lfanew < 64 || lfanew > INT32_MAX ? -1 : ::pread(fd, pe, sizeof pe, lfanew);
  ::close(fd);
  if (peGot != 6 || std::memcmp(pe, "PE\0\0", 4) != 0)
    throw Failure{path, std::string(notPe) + ": no \"PE\" signature where its header points"};
  if ((pe[4] | pe[5] << 8) != 0x14C)
    throw Failure{path, "the stub is not a 32-bit x86 Windows program"};
}

// ------------------------------------------------ temporary output file

// Path of the temporary output, for the signal handler.
char g_tempPath[PATH_MAX];
volatile sig_atomic_t g_tempActive = 0;

void RemoveTempAndDie(int sig) {
  if (g_tempActive) ::unlink(g_tempPath);
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

class TempOutput {
public:
  explicit TempOutput(const std::string& out) {
    const fs::path target(out);
    const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::string pattern = (dir / ("." + target.filename().string() + ".XXXXXX")).string();
    if (pattern.size() >= sizeof g_tempPath) throw Failure{out, "the path is too long"};
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    const int fd = ::mkstemp(buf.data());
    if (fd < 0) throw Failure{out, std::string("cannot create a file in its folder: ") + std::strerror(errno)};
    ::close(fd);
    path_ = buf.data();
    std::memcpy(g_tempPath, path_.c_str(), path_.size() + 1);
    g_tempActive = 1;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::signal(sig, RemoveTempAndDie);
  }
  ~TempOutput() {
    if (!committed_) ::unlink(path_.c_str());
    g_tempActive = 0;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::signal(sig, SIG_DFL);
  }
  const std::string& Path() const { return path_; }
  // Makes the file executable (as the umask allows) and moves it into place.
  void Commit(const std::string& out) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::chmod(path_.c_str(), 0777 & ~mask) != 0)
      throw Failure{out, std::string("cannot make it executable: ") + std::strerror(errno)};
    if (::rename(path_.c_str(), out.c_str()) != 0)
      throw Failure{out, std::string("cannot write it: ") + std::strerror(errno)};
    committed_ = true;
  }

private:
  std::string path_;
  bool committed_ = false;
};

// Messages of the writer begin 'Cannot add "<file>": ' when they are about one
// input; that file is already the subject of the report.
std::string WithoutSubject(const std::string& message, const std::string& subject) {
  const std::string prefix = "Cannot add \"" + subject + "\": ";
  if (message.compare(0, prefix.size(), prefix) == 0) return message.substr(prefix.size());
  return message;
}

Progress* g_packProgress = nullptr;
const std::string* g_packLabel = nullptr;

// The writer's component reports after every buffer; how far the output has
// grown is what can be shown from here.
bool g_interruptInHook = false;

void PackHook() {
  if (g_interruptInHook) {
    g_interruptInHook = false;
    ::raise(SIGINT);
  }
  if (!g_packProgress || !g_packProgress->Active()) return;
  struct stat st;
  if (::stat(g_tempPath, &st) == 0) g_packProgress->Bytes(st.st_size, *g_packLabel);
}

}  // namespace

int Pack(const std::vector<std::string>& args) {
  const ParsedArgs a = ParseArgs("pack", args,
                                 {{'o', "output", true},
                                  {0, "stub", true},
                                  {'m', "method", true},
                                  {'q', "quiet", false},
                                  {'h', "help", false}});
  if (a.Has("help")) {
    std::fputs(kPackHelp, stdout);
    return ExitOk;
  }
  const std::string out = a.Value("output");
  if (out.empty()) throw UsageError{"no output given (-o OUT.exe)", "pack"};
  if (a.Operands.empty()) throw UsageError{"no splash program given", "pack"};
  TCompressMode mode = TCompressMode::Good;
  const std::string method = a.Value("method", "good");
  if (method == "good")
    mode = TCompressMode::Good;
  else if (method == "fast")
    mode = TCompressMode::Fast;
  else if (method == "auto")
    mode = TCompressMode::Auto;
  else
    throw UsageError{"unknown method '" + method + "' (good, fast or auto)", "pack"};
  RequireNoBackslash(out);
  std::error_code ec;
  if (fs::is_directory(out, ec)) throw Failure{out, "is a folder"};

  const std::string stub = a.Has("stub") ? a.Value("stub") : DefaultStub();
  CheckStub(stub);

  std::vector<PackItem> items = Collect(a.Operands);
  NameFolderEntries(items);
  if (items.size() > static_cast<std::size_t>(MaxPackEntries))
    throw Failure{out, std::to_string(items.size()) + " entries (files and folders) given; an archive holds at most " +
                           std::to_string(MaxPackEntries)};
  WarnAboutCollisions(items);

  TArchiveWriter writer;
  writer.DefaultMode = mode;
  for (const PackItem& item : items) {
    const std::string& subject = item.IsDirectory ? item.SourcePath : item.Input;
    try {
      if (item.IsDirectory)
        writer.AddDirectory(item.SourcePath, item.FileName);
      else
        writer.AddFile(item.Input, item.FileName, item.SourcePath);
    } catch (const EArchiveError& e) {
      throw Failure{subject, WithoutSubject(e.Message(), subject)};
    }
  }

  TempOutput temp(out);
  Progress progress(!a.Has("quiet"));
  const std::string label = "packing " + out;
  g_packProgress = &progress;
  g_packLabel = &label;
  ProgressHook = PackHook;
  // Test aid: SFX_TEST_FAULT=write:N makes the write after N successful ones
  // fail, =interrupt delivers SIGINT at the first progress report; both
  // while the installer is being written.
  if (const char* fault = std::getenv("SFX_TEST_FAULT")) {
    if (std::strncmp(fault, "write:", 6) == 0) InjectFileWriteFailure(std::atoi(fault + 6));
    if (std::strcmp(fault, "interrupt") == 0) g_interruptInHook = true;
  }
  try {
    writer.Write(stub, temp.Path());
  } catch (const Exception& e) {
    ProgressHook = nullptr;
    g_packProgress = nullptr;
    progress.Clear();
    // The writer names the file it wrote, which is the temporary one.
    std::string message = e.Message();
    for (std::size_t at; (at = message.find(temp.Path())) != std::string::npos;)
      message.replace(at, temp.Path().size(), out);
    throw Failure{out, message};
  }
  ProgressHook = nullptr;
  g_packProgress = nullptr;
  progress.Clear();
  temp.Commit(out);
  return ExitOk;
}

}  // namespace sfx
