// Entry point: no arguments are read; everything comes from LogServer.conf
// beside the executable.
#include "core/uMainThread.h"
#include "platform/uProcess.h"

#include <exception>
#include <memory>

int main() {
  using namespace logserver;
  // Held until the handlers are in place and the configuration is written
  // back (tMainThread::Run); threads started later inherit the block.
  BlockServiceSignals();
  TuneMemoryAllocator();
  auto service = std::make_unique<tMainThread>();
  MainThreadInstance.store(service.get());
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
  MainThreadInstance.store(nullptr);
  service.reset();
  return status;
}
