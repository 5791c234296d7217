// Entry point. Without arguments everything comes from LogServer.conf
// beside the executable; the arguments an operator expects are understood
// too (--help lists them).
#include "core/uMainThread.h"
#include "core/uServiceText.h"
#include "platform/uFiles.h"
#include "platform/uProcess.h"

#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace logserver;

constexpr int kExitUsage = 2;

const char* const kUsage =
    "usage: LogServer [--config=PATH] [--check-config[=PATH]] [--version] [--help]\n"
    "\n"
    "Collects log messages (TPKT client records over TCP; syslog over UDP and, when\n"
    "configured, over TCP and TLS) into hourly files, and can hand them on to a NATS\n"
    "JetStream stream. Without arguments it reads LogServer.conf beside the\n"
    "executable and runs until SIGINT or SIGTERM.\n"
    "\n"
    "  --config=PATH          read PATH instead of LogServer.conf beside the executable\n"
    "  --check-config[=PATH]  report every setting that would fall back to its default\n"
    "                         or be changed, with its line, and what would be written\n"
    "                         back; write nothing, bind nothing; exit 0 when the service\n"
    "                         would start with the file as it is, 1 otherwise\n"
    "  --version              print the version and exit\n"
    "  --help                 print this and exit\n";

struct TArguments {
  bool Help = false;
  bool Version = false;
  bool Check = false;
  std::string ConfigPath;
  std::string Unknown;  // the first argument not understood
};

TArguments ParseArguments(const std::vector<std::string>& arguments) {
  TArguments parsed;
  for (const std::string& argument : arguments) {
    if (argument == "--help" || argument == "-h") {
      parsed.Help = true;
    } else if (argument == "--version") {
      parsed.Version = true;
    } else if (argument == "--check-config") {
      parsed.Check = true;
    } else if (argument.rfind("--check-config=", 0) == 0 && argument.size() > 15) {
      parsed.Check = true;
      parsed.ConfigPath = argument.substr(15);
    } else if (argument.rfind("--config=", 0) == 0 && argument.size() > 9) {
      parsed.ConfigPath = argument.substr(9);
    } else if (parsed.Unknown.empty()) {
      parsed.Unknown = argument;
    }
  }
  return parsed;
}

// --check-config: what the service would decide, on stdout.
int CheckConfiguration(const std::string& path) {
  TConfigFindings findings;
  bool unchanged = false;
  try {
    unchanged = CheckServiceConfig(path, DirectoryPart(ExecutablePath()), findings);
  } catch (const std::exception& error) {
    WriteStandardError(std::string("LogServer: ") + error.what() + "\n");
    return 1;
  }
  for (const std::string& problem : findings.Problems) WriteStandardOutput(path + ": " + problem + "\n");
  for (const std::string& rewrite : findings.Rewrites) WriteStandardOutput(path + ": " + rewrite + "\n");
  return unchanged ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace logserver;
  const TArguments arguments = ParseArguments(std::vector<std::string>(argv + 1, argv + argc));
  if (!arguments.Unknown.empty()) {
    WriteStandardError("LogServer: unknown argument " + arguments.Unknown + "\n" + kUsage);
    return kExitUsage;
  }
  if (arguments.Help) {
    WriteStandardOutput(kUsage);
    return 0;
  }
  if (arguments.Version) {
    WriteStandardOutput(std::string("LogServer ") + ServiceVersion() + "\n");
    return 0;
  }
  if (arguments.Check)
    return CheckConfiguration(arguments.ConfigPath.empty() ? DefaultConfigPath() : arguments.ConfigPath);

  // Held until the handlers are in place and the configuration is written
  // back (tMainThread::Run); threads started later inherit the block.
  BlockServiceSignals();
  TuneMemoryAllocator();
  // Read buffers of a turn (up to 256 KiB) come from the heap: mapped and
  // unmapped each time, every run would cost page faults and a TLB
  // shootdown across the cores.
  KeepLargeBuffers();
  auto service = std::make_unique<tMainThread>();
  if (!arguments.ConfigPath.empty()) service->UseConfigFile(arguments.ConfigPath);
  TMainLoopRequests::Listen(&service->Requests());
  int status = 0;
  try {
    service->Run();
  } catch (const std::exception& error) {
    WriteStandardError(std::string("LogServer: ") + error.what() + "\n");
    status = 1;
  } catch (...) {
    WriteStandardError("LogServer: unexpected error\n");
    status = 1;
  }
  TMainLoopRequests::Listen(nullptr);
  service.reset();
  return status;
}
