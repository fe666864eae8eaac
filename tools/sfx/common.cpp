#include <unistd.h>

#include <cstdio>

#include "tools/sfx/sfx.h"

namespace sfx {

bool ParsedArgs::Has(const std::string& name) const {
  for (const auto& o : Options)
    if (o.first == name) return true;
  return false;
}

std::string ParsedArgs::Value(const std::string& name, const std::string& fallback) const {
  std::string value = fallback;
  for (const auto& o : Options)
    if (o.first == name) value = o.second;
  return value;
}

ParsedArgs ParseArgs(const std::string& command, const std::vector<std::string>& args,
                     const std::vector<OptionSpec>& specs) {
  ParsedArgs parsed;
  auto findLong = [&](const std::string& name) -> const OptionSpec* {
    for (const auto& s : specs)
      if (name == s.Long) return &s;
    return nullptr;
  };
  auto findShort = [&](char c) -> const OptionSpec* {
    for (const auto& s : specs)
      if (s.Short == c) return &s;
    return nullptr;
  };
  bool operandsOnly = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (operandsOnly || a.size() < 2 || a[0] != '-') {
      parsed.Operands.push_back(a);
    } else if (a == "--") {
      operandsOnly = true;
    } else if (a.compare(0, 2, "--") == 0) {
      const std::size_t eq = a.find('=');
      const std::string name = a.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
      const OptionSpec* option = findLong(name);
      if (!option) throw UsageError{"unknown option '--" + name + "'", command};
      std::string value;
      if (option->TakesValue) {
        if (eq != std::string::npos)
          value = a.substr(eq + 1);
        else if (i + 1 < args.size())
          value = args[++i];
        else
          throw UsageError{"option '--" + name + "' needs a value", command};
      } else if (eq != std::string::npos) {
        throw UsageError{"option '--" + name + "' takes no value", command};
      }
      parsed.Options.emplace_back(option->Long, value);
    } else {
      // One or more short options; one that takes a value ends the group.
      for (std::size_t j = 1; j < a.size(); ++j) {
        const OptionSpec* option = findShort(a[j]);
        if (!option) throw UsageError{std::string("unknown option '-") + a[j] + "'", command};
        std::string value;
        if (option->TakesValue) {
          if (j + 1 < a.size())
            value = a.substr(j + 1);
          else if (i + 1 < args.size())
            value = args[++i];
          else
            throw UsageError{std::string("option '-") + a[j] + "' needs a value", command};
          parsed.Options.emplace_back(option->Long, value);
          break;
        }
        parsed.Options.emplace_back(option->Long, value);
      }
    }
  }
  return parsed;
}

Progress::Progress(bool wanted) : active_(wanted && isatty(STDERR_FILENO) == 1) {}

Progress::~Progress() { Clear(); }

void Progress::Draw(const std::string& line) {
  if (!active_ || line == last_) return;
  last_ = line;
  shown_ = true;
  std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
  std::fflush(stderr);
}

namespace {

std::string Shorten(const std::string& label, std::size_t width) {
  if (label.size() <= width) return label;
  return "..." + label.substr(label.size() - (width - 3));
}

std::string HumanBytes(int64_t n) {
  char buf[32];
  if (n < 1024)
    std::snprintf(buf, sizeof buf, "%lld B", static_cast<long long>(n));
  else if (n < 1024 * 1024)
    std::snprintf(buf, sizeof buf, "%.1f KiB", static_cast<double>(n) / 1024);
  else
    std::snprintf(buf, sizeof buf, "%.1f MiB", static_cast<double>(n) / (1024 * 1024));
  return buf;
}

}  // namespace

void Progress::Fraction(int64_t done, int64_t total, const std::string& label) {
  if (!active_) return;
  constexpr int width = 30;
  if (total <= 0) total = 1;
  if (done < 0) done = 0;
  if (done > total) done = total;
  const int filled = static_cast<int>(done * width / total);
  const int percent = static_cast<int>(done * 100 / total);
  char head[64];
  std::snprintf(head, sizeof head, "[%s%s] %3d%% ", std::string(filled, '#').c_str(),
                std::string(width - filled, '.').c_str(), percent);
  Draw(head + Shorten(label, 40));
}

void Progress::Bytes(int64_t done, const std::string& label) {
  if (!active_) return;
  // Whole tenths of a MiB (or KiB) are enough to show that work goes on.
  Draw(Shorten(label, 50) + ": " + HumanBytes(done));
}

void Progress::Clear() {
  if (!active_ || !shown_) return;
  std::fprintf(stderr, "\r\x1b[K");
  std::fflush(stderr);
  shown_ = false;
  last_.clear();
}

void Warn(const std::string& subject, const std::string& text) {
  std::fprintf(stderr, "sfx: warning: %s: %s\n", subject.c_str(), text.c_str());
}

void RequireNoBackslash(const std::string& path) {
  if (path.find('\\') != std::string::npos)
    throw Failure{path, "paths holding a backslash are not supported"};
}

void LoadArchive(const std::string& ArchivePath, TArchiveLayout& Layout) {
  RequireNoBackslash(ArchivePath);
  const std::string why = DiagnoseArchive(ArchivePath, Layout);
  if (!why.empty()) throw Failure{ArchivePath, why};
  if (!LoadCatalogue(ArchivePath)) throw Failure{ArchivePath, "cannot read the catalogue"};
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        // Names are 8-bit text in the Windows code page, not UTF-8: control
        // characters and bytes above 0x7F are written as the code point of
        // the same number, so that the output is always valid JSON.
        if (c < 0x20 || c >= 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

}  // namespace sfx
