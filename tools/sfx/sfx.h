// sfx: packs, lists, tests and extracts the installers of the self-extracting
// unpacker. The archive work itself is done by archive/ (TArchiveWriter,
// LoadCatalogue, ExtractEntry) and the component Tlzrw1; this tool parses the
// command line, walks folders, reports errors and shows progress.
#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/archive_info.h"
#include "archive/packerunit.h"

namespace sfx {

enum ExitCode { ExitOk = 0, ExitFailure = 1, ExitUsage = 2 };

// A failure to report as "sfx: <Subject>: <Cause>", exit status 1.
struct Failure {
  std::string Subject;
  std::string Cause;
};

// A command line the tool does not understand: exit status 2.
struct UsageError {
  std::string Message;
  std::string Command;  // for "Try 'sfx <command> --help'"; empty at top level
};

// Options and operands of one subcommand, as parsed from its arguments.
struct OptionSpec {
  char Short;          // 0 when there is none
  const char* Long;    // without the leading "--"
  bool TakesValue;
};
struct ParsedArgs {
  std::vector<std::pair<std::string, std::string>> Options;  // long name, value
  std::vector<std::string> Operands;
  bool Has(const std::string& name) const;
  // The last value given for name, or fallback.
  std::string Value(const std::string& name, const std::string& fallback = {}) const;
};
ParsedArgs ParseArgs(const std::string& command, const std::vector<std::string>& args,
                     const std::vector<OptionSpec>& specs);

// A one-line progress display on stderr, shown only when stderr is a terminal
// and the user did not ask for quiet. Redraws only when what it shows changes.
class Progress {
public:
  explicit Progress(bool wanted);
  ~Progress();
  bool Active() const { return active_; }
  void Fraction(int64_t done, int64_t total, const std::string& label);
  void Bytes(int64_t done, const std::string& label);
  void Clear();

private:
  void Draw(const std::string& line);
  bool active_;
  std::string last_;
  bool shown_ = false;
};

void Warn(const std::string& subject, const std::string& text);

// Loads the catalogue of ArchivePath through LoadCatalogue; raises a Failure
// that says why when the file is not an archive. Fills Layout.
void LoadArchive(const std::string& ArchivePath, TArchiveLayout& Layout);

// Paths reach the platform layer in Windows form, where '\' is a separator;
// a native path holding one would name another file, so it is refused.
void RequireNoBackslash(const std::string& path);

std::string JsonString(const std::string& text);

int Pack(const std::vector<std::string>& args);
int List(const std::vector<std::string>& args);
int Test(const std::vector<std::string>& args);
int Extract(const std::vector<std::string>& args);

}  // namespace sfx
