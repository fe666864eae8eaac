#include "wine_harness.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

int ExitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

}  // namespace

std::string WindowsPath(const std::string& unixPath) {
  std::string out = "Z:" + unixPath;
  for (char& c : out)
    if (c == '/') c = '\\';
  return out;
}

TWinePrefix& TWinePrefix::Get() {
  static TWinePrefix prefix;
  return prefix;
}

TWinePrefix::TWinePrefix() : path_(KVSFX_E2E_DIR "/wine-prefix"), log_(KVSFX_E2E_DIR "/wine.log") {
  fs::create_directories(KVSFX_E2E_DIR);
  const fs::path ready = path_ + "/kvsfx-ready";
  if (fs::exists(ready)) return;
  // A half-made prefix from an interrupted run is made again from scratch.
  WaitForAll();
  fs::remove_all(path_);
  // The first command creates the prefix; the null driver makes every later
  // run headless.
  const int code = Run({"reg", "add", "HKCU\\Software\\Wine\\Drivers", "/v", "Graphics", "/d",
                        "null", "/f"},
                       KVSFX_E2E_DIR, {}, 300);
  if (code != 0) throw std::runtime_error("cannot create the Wine prefix, see " + log_);
  std::ofstream(ready) << "null graphics driver\n";
}

void TWinePrefix::MapDrive(char letter, const std::string& unixDir) const {
  const fs::path link = fs::path(path_) / "dosdevices" / (std::string(1, letter) + ":");
  fs::remove(link);
  fs::create_directory_symlink(unixDir, link);
}

pid_t TWinePrefix::Spawn(const std::vector<std::string>& command, const std::string& cwd,
                         const TEnvironment& env) const {
  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child > 0) return child;
  // The child: its own directory and environment, Wine's chatter to the log.
  const int out = open(log_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (out >= 0) {
    dup2(out, 1);
    dup2(out, 2);
  }
  const int in = open("/dev/null", O_RDONLY);
  if (in >= 0) dup2(in, 0);
  if (chdir(cwd.c_str()) != 0) _exit(126);
  setenv("WINEPREFIX", path_.c_str(), 1);
  setenv("WINEDEBUG", "-all", 1);
  setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);  // no Mono or Gecko installers
  for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
  std::vector<char*> argv;
  for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  _exit(127);
}

pid_t TWinePrefix::Start(const std::vector<std::string>& programAndArgs, const std::string& cwd,
                         const TEnvironment& env, int timeoutSeconds) const {
  std::vector<std::string> command = {"timeout", "-k", "5", std::to_string(timeoutSeconds),
                                      KVSFX_WINE};
  command.insert(command.end(), programAndArgs.begin(), programAndArgs.end());
  return Spawn(command, cwd, env);
}

int TWinePrefix::Wait(pid_t child) const {
  int status = 0;
  if (waitpid(child, &status, 0) != child) return -1;
  return ExitCodeOf(status);
}

int TWinePrefix::Run(const std::vector<std::string>& programAndArgs, const std::string& cwd,
                     const TEnvironment& env, int timeoutSeconds) const {
  const int code = Wait(Start(programAndArgs, cwd, env, timeoutSeconds));
  WaitForAll();
  return code;
}

void TWinePrefix::WaitForAll() const {
  // The wineserver ends shortly after the last process of the prefix; a
  // stuck one is killed after the timeout, and with it its processes.
  const int code = Wait(Spawn({"timeout", "60", KVSFX_WINESERVER, "-w"}, KVSFX_E2E_DIR, {}));
  if (code == 124) Wait(Spawn({KVSFX_WINESERVER, "-k"}, KVSFX_E2E_DIR, {}));
}
