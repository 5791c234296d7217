// logserver-archive: writes the messages of the collectors' stream into a
// log tree of its own, the same files and lines a collector writes (see
// uArchiveWriter.h), and serves its metrics when [Metrics] Listen is set.
//
//   logserver-archive [--config=PATH] [--version] [--help]
//
// PATH defaults to logserver-archive.conf beside the executable. SIGINT and
// SIGTERM stop it after the batch it is writing. Exit status: 0 after a
// stop, 2 when the settings or the tree cannot be used.
#include "archive/uArchiveWriter.h"
#include "platform/uFiles.h"
#include "platform/uProcess.h"

#include <atomic>
#include <string>
#include <vector>

namespace {

std::atomic<logserver::TArchiveWriter*> Running{nullptr};

void OnStop(int) {
  if (logserver::TArchiveWriter* writer = Running.load()) writer->Stop();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace logserver;
  std::string configPath = DirectoryPart(ExecutablePath()) + "logserver-archive.conf";
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  for (const std::string& argument : arguments) {
    if (argument == "--help" || argument == "-h") {
      WriteStandardOutput(
          "usage: logserver-archive [--config=PATH]\n"
          "Writes the messages of a NATS JetStream stream, as LogServer collectors publish\n"
          "them, into a log tree: [Archive] Servers=, Stream= (LOGS), Durable= (archive),\n"
          "Subject= (logs), BaseCatalog=, Credentials=, TlsCA=; [Metrics] Listen= (address:port\n"
          "of /metrics, off when absent).\n");
      return 0;
    }
    if (argument == "--version") {
      WriteStandardOutput("logserver-archive " LOGSERVER_VERSION "\n");
      return 0;
    }
    if (argument.rfind("--config=", 0) == 0) {
      configPath = argument.substr(9);
      continue;
    }
    WriteStandardError("logserver-archive: unknown argument " + argument + " (see --help)\n");
    return 2;
  }
  std::string text;
  bool exists = false;
  if (!ReadFileText(configPath, text, exists, 1u << 20) || !exists) {
    WriteStandardError("logserver-archive: cannot read " + configPath + "\n");
    return 2;
  }
  TArchiveSettings settings;
  std::string error;
  if (!ParseArchiveSettings(text, settings, error)) {
    WriteStandardError("logserver-archive: " + configPath + ": " + error + "\n");
    return 2;
  }
  TuneMemoryAllocator();
  KeepLargeBuffers();
  TArchiveWriter writer(settings);
  Running.store(&writer);
  InstallSignalHandlers({&OnStop, nullptr, nullptr});
  const int status = writer.Run();
  Running.store(nullptr);
  return status;
}
