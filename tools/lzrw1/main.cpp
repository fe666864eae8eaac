// lzrw1: command-line front over the compression component Tlzrw1.
//
//   lzrw1 compress [-m good|fast|auto] [-t THRESHOLD] [-q] IN OUT
//   lzrw1 decompress [-q] IN OUT
//   lzrw1 advise [-t THRESHOLD] IN
//
// "-" is standard input or output. Everything streams through the component
// in stream mode, so memory stays the same whatever the input's size. A named
// output is written to a temporary file beside it and renamed on success;
// on failure (or interruption) no output file is left behind.
// Exit status: 0 success, 1 failure, 2 usage error.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lzrw1/lzrw1.h"
#include "platform/files.h"
#include "platform/stream.h"

namespace {

const char* const kMainUsage =
    "Usage: lzrw1 COMMAND [OPTIONS] ARGS\n"
    "\n"
    "Compress and decompress LZRW1 streams (LZH or LZRW1/KH method).\n"
    "\n"
    "Commands:\n"
    "  compress [-m good|fast|auto] [-t THRESHOLD] [-q] IN OUT\n"
    "  decompress [-q] IN OUT\n"
    "  advise [-t THRESHOLD] IN     print the method suited to IN: good or fast\n"
    "\n"
    "IN or OUT may be '-' for standard input or output.\n"
    "Run 'lzrw1 COMMAND --help' for the options of a command.\n";

const char* const kCompressUsage =
    "Usage: lzrw1 compress [-m good|fast|auto] [-t THRESHOLD] [-q] IN OUT\n"
    "\n"
    "Compress IN into the stream OUT ('-' for standard input or output).\n"
    "\n"
    "Options:\n"
    "  -m good   LZH: smaller output, slower (default)\n"
    "  -m fast   LZRW1/KH blocks: fast, larger output\n"
    "  -m auto   let 'advise' choose from two samples of IN\n"
    "  -t N      advise threshold in percent (default 40): fast is chosen when\n"
    "            the samples pack to less than N% of their size\n"
    "  -q        no progress display\n"
    "  -h, --help\n";

const char* const kDecompressUsage =
    "Usage: lzrw1 decompress [-q] IN OUT\n"
    "\n"
    "Decompress the stream IN into OUT ('-' for standard input or output).\n"
    "The method is read from the stream itself.\n"
    "\n"
    "Options:\n"
    "  -q        no progress display\n"
    "  -h, --help\n";

const char* const kAdviseUsage =
    "Usage: lzrw1 advise [-t THRESHOLD] IN\n"
    "\n"
    "Print 'fast' when IN packs well with the fast method, otherwise 'good'.\n"
    "Inputs shorter than 96 KiB always get 'good'.\n"
    "\n"
    "Options:\n"
    "  -t N      threshold in percent (default 40)\n"
    "  -h, --help\n";

// ------------------------------------------------------------ failures

// A failure to report: message already formed, exit status 1.
struct Failure {
  std::string message;
};

[[noreturn]] void Fail(const std::string& message) { throw Failure{message}; }

// Usage errors exit with 2.
[[noreturn]] void UsageError(const std::string& message, const char* usage) {
  std::fprintf(stderr, "lzrw1: %s\n\n%s", message.c_str(), usage);
  std::exit(2);
}

std::string Display(const std::string& path, bool output) {
  if (path == "-") return output ? "(stdout)" : "(stdin)";
  return path;
}

// ----------------------------------------------------- stream adapters

// A stream over a descriptor that cannot seek (pipe, terminal): it answers
// its position by counting, and refuses every other seek.
class TSequentialStream : public TStream {
public:
  explicit TSequentialStream(int fd) : fd_(fd) {}
  int32_t Read(void* buffer, int32_t count) override { return Count(FileRead(fd_, buffer, count)); }
  int32_t Write(const void* buffer, int32_t count) override {
    return Count(FileWrite(fd_, buffer, count));
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    return offset == 0 && origin == TSeekOrigin::Current ? position_ : -1;
  }

private:
  int32_t Count(int32_t n) {
    if (n > 0) position_ += n;
    return n;
  }
  int fd_;
  int64_t position_ = 0;
};

bool IsRegularFile(int fd) {
  struct stat st;
  return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// ------------------------------------------------- temporary output file

// The temporary file beside OUT, removed on failure and on a fatal signal.
char gTempPath[4096] = {0};

void RemoveTempOnSignal(int sig) {
  if (gTempPath[0] != 0) ::unlink(gTempPath);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

class OutputFile {
public:
  explicit OutputFile(const std::string& path) : path_(path) {
    if (path == "-") {
      fd_ = STDOUT_FILENO;
      return;
    }
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string temp = dir + "." + base + ".lzrw1-XXXXXX";
    if (temp.size() >= sizeof gTempPath) Fail(path + ": path too long");
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    fd_ = ::mkstemp(name.data());
    if (fd_ < 0) Fail(path + ": cannot create output file: " + std::strerror(errno));
    temp_ = name.data();
    std::memcpy(gTempPath, temp_.c_str(), temp_.size() + 1);
  }
  ~OutputFile() {
    if (temp_.empty()) return;
    ::close(fd_);
    ::unlink(temp_.c_str());
    gTempPath[0] = 0;
  }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  int Fd() const { return fd_; }

  // Puts the finished file in place, with the permissions a new file gets.
  void Commit() {
    if (temp_.empty()) return;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd_, 0666 & ~mask);
    if (::close(fd_) != 0) Fail(path_ + ": " + std::strerror(errno));
    if (::rename(temp_.c_str(), path_.c_str()) != 0) {
      const int err = errno;
      ::unlink(temp_.c_str());
      temp_.clear();
      gTempPath[0] = 0;
      Fail(path_ + ": " + std::strerror(err));
    }
    temp_.clear();
    gTempPath[0] = 0;
  }

private:
  std::string path_;
  std::string temp_;
  int fd_ = -1;
};

// ------------------------------------------------------------- input

// The input as a stream. needSize: the command must know the whole size up
// front (compress, advise), so a pipe is first spooled to an unnamed
// temporary file (in $TMPDIR) rather than held in memory.
class InputFile {
public:
  InputFile(const std::string& path, bool needSize) {
    if (path == "-") {
      fd_ = STDIN_FILENO;
    } else {
      fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd_ < 0) Fail(path + ": " + std::strerror(errno));
      own_ = true;
      struct stat st;
      if (::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) Fail(path + ": Is a directory");
    }
    if (IsRegularFile(fd_)) {
      stream_ = std::make_unique<THandleStream>(fd_);
      size_ = stream_->Size();
      return;
    }
    if (!needSize) {
      stream_ = std::make_unique<TSequentialStream>(fd_);
      return;
    }
    Spool(path);
  }
  ~InputFile() {
    if (own_) ::close(fd_);
    if (spool_ >= 0) ::close(spool_);
  }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  TStream& Stream() { return *stream_; }
  int64_t Size() const { return size_; }  // -1 when unknown

private:
  void Spool(const std::string& path) {
    const char* tmp = std::getenv("TMPDIR");
    std::string name = std::string(tmp && *tmp ? tmp : "/tmp") + "/lzrw1-spool-XXXXXX";
    std::vector<char> buf(name.begin(), name.end());
    buf.push_back('\0');
    spool_ = ::mkstemp(buf.data());
    if (spool_ < 0) Fail("cannot create a temporary file to hold standard input: " +
                         std::string(std::strerror(errno)));
    ::unlink(buf.data());
    std::vector<char> chunk(1 << 16);
    for (;;) {
      const int32_t n = FileRead(fd_, chunk.data(), static_cast<int32_t>(chunk.size()));
      if (n < 0) Fail(Display(path, false) + ": " + std::strerror(errno));
      if (n == 0) break;
      if (FileWrite(spool_, chunk.data(), n) != n)
        Fail("cannot hold standard input in a temporary file: " +
             std::string(std::strerror(errno)));
    }
    if (::lseek(spool_, 0, SEEK_SET) != 0) Fail(std::string("spool: ") + std::strerror(errno));
    stream_ = std::make_unique<THandleStream>(spool_);
    size_ = stream_->Size();
  }

  int fd_ = -1;
  bool own_ = false;
  int spool_ = -1;
  int64_t size_ = -1;
  std::unique_ptr<TStream> stream_;
};

// ----------------------------------------------------------- progress

struct Progress {
  Tlzrw1* component = nullptr;
  int64_t total = -1;  // input size when known
  int lastPercent = -1;
  int64_t lastBytes = -1;
  bool drawn = false;
} gProgress;

void DrawProgress() {
  Progress& p = gProgress;
  const int64_t done = p.component->BytesRead;
  const double mib = 1024.0 * 1024.0;
  if (p.total > 0) {
    const int percent = static_cast<int>(std::min<int64_t>(100, done * 100 / p.total));
    if (percent == p.lastPercent) return;
    p.lastPercent = percent;
    const int width = 30, filled = percent * width / 100;
    std::fprintf(stderr, "\r[%.*s%*s] %3d%%  %.1f MiB -> %.1f MiB", filled,
                 "##############################", width - filled, "", percent, done / mib,
                 p.component->BytesWritten / mib);
  } else {
    if (p.lastBytes >= 0 && done - p.lastBytes < (1 << 20)) return;
    p.lastBytes = done;
    std::fprintf(stderr, "\r%.1f MiB -> %.1f MiB", done / mib, p.component->BytesWritten / mib);
  }
  p.drawn = true;
}

void StartProgress(Tlzrw1& c, int64_t total, bool quiet) {
  if (quiet || !::isatty(STDERR_FILENO)) return;
  gProgress = Progress{&c, total};
  ProgressHook = DrawProgress;
}

void EndProgress() {
  ProgressHook = nullptr;
  if (gProgress.drawn) std::fputs("\r\033[K", stderr);
  gProgress = Progress{};
}

// ----------------------------------------------------------- commands

struct Options {
  std::vector<std::string> args;
  std::optional<TCompressMode> mode;
  std::optional<int32_t> threshold;
  bool quiet = false;
};

int32_t ParseThreshold(const std::string& s, const char* usage) {
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(s.c_str(), &end, 10);
  if (s.empty() || *end != '\0' || errno == ERANGE || v < INT32_MIN || v > INT32_MAX)
    UsageError("invalid threshold '" + s + "' (expected a whole number of percent)", usage);
  return static_cast<int32_t>(v);
}

// Parses [options] ARGS; flags lists the options the command accepts.
Options ParseOptions(int argc, char** argv, const std::string& flags, size_t nargs,
                     const char* usage) {
  Options o;
  bool endOfOptions = false;
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    if (endOfOptions || a == "-" || a.empty() || a[0] != '-') {
      o.args.push_back(a);
      continue;
    }
    if (a == "--") {
      endOfOptions = true;
    } else if (a == "-h" || a == "--help") {
      std::fputs(usage, stdout);
      std::exit(0);
    } else if (a == "-q" && flags.find('q') != std::string::npos) {
      o.quiet = true;
    } else if ((a == "-m" && flags.find('m') != std::string::npos) ||
               (a == "-t" && flags.find('t') != std::string::npos)) {
      if (i + 1 >= argc) UsageError("option " + a + " needs a value", usage);
      const std::string v = argv[++i];
      if (a == "-t") {
        o.threshold = ParseThreshold(v, usage);
      } else if (v == "good") {
        o.mode = TCompressMode::Good;
      } else if (v == "fast") {
        o.mode = TCompressMode::Fast;
      } else if (v == "auto") {
        o.mode = TCompressMode::Auto;
      } else {
        UsageError("invalid method '" + v + "' (expected good, fast or auto)", usage);
      }
    } else {
      UsageError("unknown option '" + a + "'", usage);
    }
  }
  if (o.args.size() != nargs)
    UsageError(o.args.size() < nargs ? "missing operand" : "too many operands", usage);
  return o;
}

// Reports a failure the component recorded, naming the side it concerns.
[[noreturn]] void ComponentFailure(const Tlzrw1& c, const std::string& in,
                                   const std::string& out, int savedErrno) {
  const std::string& m = c.FailureMessage();
  const bool aboutOutput = m.find("output") != std::string::npos ||
                           m.find("writing") != std::string::npos;
  std::string text = (aboutOutput ? Display(out, true) : Display(in, false)) + ": " + m;
  if (savedErrno != 0 && (m.find("reading") != std::string::npos ||
                          m.find("writing") != std::string::npos))
    text += " (" + std::string(std::strerror(savedErrno)) + ")";
  Fail(text);
}

// compress and decompress: the same run, with a different operation.
int Transfer(const Options& o, bool compress) {
  const std::string& in = o.args[0];
  const std::string& out = o.args[1];
  if (compress && out == "-" && ::isatty(STDOUT_FILENO))
    Fail("refusing to write compressed data to a terminal (give an output file)");
  InputFile input(in, compress);
  OutputFile output(out);
  std::unique_ptr<TStream> sink;
  if (out == "-" && !IsRegularFile(STDOUT_FILENO))
    sink = std::make_unique<TSequentialStream>(STDOUT_FILENO);
  else
    sink = std::make_unique<THandleStream>(output.Fd());

  Tlzrw1 c;
  c.UseStream = true;
  c.InputStream = &input.Stream();
  c.OutputStream = sink.get();
  if (o.mode) c.CompressMode = *o.mode;
  if (o.threshold) c.Threshold = *o.threshold;
  StartProgress(c, input.Size(), o.quiet);
  errno = 0;
  try {
    compress ? c.Compress() : c.Decompress();
  } catch (const Exception&) {
    // Recorded in Failed()/FailureMessage() like the absorbed failures.
  }
  const int savedErrno = errno;
  EndProgress();
  if (c.Failed()) ComponentFailure(c, in, out, savedErrno);
  output.Commit();
  return 0;
}

int Advise(const Options& o) {
  const std::string& in = o.args[0];
  InputFile input(in, true);
  Tlzrw1 c;
  c.UseStream = true;
  c.InputStream = &input.Stream();
  if (o.threshold) c.Threshold = *o.threshold;
  TCompressMode mode = TCompressMode::Good;
  errno = 0;
  try {
    mode = c.Advise();
  } catch (const Exception&) {
    ComponentFailure(c, in, "-", errno);
  }
  std::puts(mode == TCompressMode::Fast ? "fast" : "good");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);  // a closed pipe becomes a write error
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) std::signal(sig, RemoveTempOnSignal);

  if (argc < 2) UsageError("missing command", kMainUsage);
  const std::string command = argv[1];
  if (command == "-h" || command == "--help") {
    std::fputs(kMainUsage, stdout);
    return 0;
  }
  try {
    if (command == "compress")
      return Transfer(ParseOptions(argc - 2, argv + 2, "mtq", 2, kCompressUsage), true);
    if (command == "decompress")
      return Transfer(ParseOptions(argc - 2, argv + 2, "q", 2, kDecompressUsage), false);
    if (command == "advise") return Advise(ParseOptions(argc - 2, argv + 2, "t", 1, kAdviseUsage));
  } catch (const Failure& f) {
    EndProgress();
    std::fprintf(stderr, "lzrw1: %s\n", f.message.c_str());
    return 1;
  } catch (const std::exception& e) {
    EndProgress();
    std::fprintf(stderr, "lzrw1: %s\n", e.what());
    return 1;
  }
  UsageError("unknown command '" + command + "'", kMainUsage);
}
