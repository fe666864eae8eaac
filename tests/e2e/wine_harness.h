// Runs Windows programs under Wine for the end-to-end tests: one prefix in
// the build tree, created on first use with the null graphics driver (no
// display needed), every run bounded by a timeout and followed by a wait for
// all of its processes (the unpacker's child included) to end.
#pragma once
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

using TEnvironment = std::vector<std::pair<std::string, std::string>>;

class TWinePrefix {
public:
  // The prefix, ready for use; creates it when it is missing.
  static TWinePrefix& Get();

  const std::string& Path() const { return path_; }
  // The Unix directory behind C:\windows\system32.
  std::string System32() const { return path_ + "/drive_c/windows/system32"; }
  // Maps the drive letter to a Unix directory (replacing an earlier mapping).
  void MapDrive(char letter, const std::string& unixDir) const;

  // Runs `wine program args...` in cwd with extra environment variables, at
  // most timeoutSeconds long, and answers the exit code (124 on timeout).
  // Then waits until every process of the prefix has ended.
  int Run(const std::vector<std::string>& programAndArgs, const std::string& cwd,
          const TEnvironment& env, int timeoutSeconds = 60) const;
  // Starts `wine program args...` without waiting for it; WaitForAll and
  // Run collect it.
  pid_t Start(const std::vector<std::string>& programAndArgs, const std::string& cwd,
              const TEnvironment& env, int timeoutSeconds = 60) const;
  int Wait(pid_t child) const;
  void WaitForAll() const;

private:
  TWinePrefix();
  pid_t Spawn(const std::vector<std::string>& command, const std::string& cwd,
              const TEnvironment& env) const;
  std::string path_;
  std::string log_;  // Wine's own output goes here, not into the test's
};

// The Windows path of a Unix path, through Wine's drive Z: (the root).
std::string WindowsPath(const std::string& unixPath);
