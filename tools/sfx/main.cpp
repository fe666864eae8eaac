#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "tools/sfx/sfx.h"

namespace {

const char* const kHelp =
    "Usage: sfx COMMAND [OPTIONS] ...\n"
    "\n"
    "Builds and inspects self-extracting installers for 32-bit Windows.\n"
    "\n"
    "Commands:\n"
    "  pack     write an installer: stub, splash program, files and folders\n"
    "  list     list the entries of an installer\n"
    "  test     decode every entry and report damaged ones\n"
    "  extract  extract the entries as the unpacker does\n"
    "\n"
    "'sfx COMMAND --help' describes each command. Exit status: 0 success,\n"
    "1 failure, 2 usage error.\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace sfx;
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string command;
  try {
    if (args.empty()) throw UsageError{"no command given", ""};
    command = args[0];
    args.erase(args.begin());
    if (command == "-h" || command == "--help" || command == "help") {
      std::fputs(kHelp, stdout);
      return ExitOk;
    }
    if (command == "--version") {
      std::puts("sfx 1.0");
      return ExitOk;
    }
    if (command == "pack") return Pack(args);
    if (command == "list") return List(args);
    if (command == "test") return Test(args);
    if (command == "extract") return Extract(args);
    throw UsageError{"unknown command '" + command + "'", ""};
  } catch (const UsageError& e) {
    std::fprintf(stderr, "sfx: %s\nTry 'sfx %s%s--help'.\n", e.Message.c_str(), e.Command.c_str(),
                 e.Command.empty() ? "" : " ");
    return ExitUsage;
  } catch (const Failure& e) {
    std::fprintf(stderr, "sfx: %s: %s\n", e.Subject.c_str(), e.Cause.c_str());
    return ExitFailure;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "sfx: out of memory\n");
    return ExitFailure;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "sfx: %s\n", e.what());
    return ExitFailure;
  }
}
