#include "producers/uExternalLogProducer.h"

#include "base/uIniFile.h"
#include "platform/uByteOrder.h"

#include <cstring>

namespace logserver {

TExternalLogProducerTask::TExternalLogProducerTask(const std::string& Text, double EventTime,
                                                   double ServerTime)
    : Block_(21 + Text.size(), 0) {
  PutU32LE(Block_.data(), static_cast<std::uint32_t>(Block_.size()));
  PutF64LE(Block_.data() + 4, EventTime);
  PutF64LE(Block_.data() + 12, ServerTime);
  if (!Text.empty()) std::memcpy(Block_.data() + 20, Text.data(), Text.size());
}

std::uint32_t TExternalLogProducerTask::Size() const { return GetU32LE(Block_.data()); }
double TExternalLogProducerTask::EventTime() const { return GetF64LE(Block_.data() + 4); }
double TExternalLogProducerTask::ServerTime() const { return GetF64LE(Block_.data() + 12); }

PLogProducer TExternalLogProducer::Create(const TLogProducerTexts& texts,
                                          const TProducerEnvironment& environment) {
  std::unique_ptr<TExternalLogProducer> producer(new TExternalLogProducer(texts));
  producer->Bind();
  producer->CountFailuresIn(environment.Failures);
  producer->Start();
  return producer;
}

PLogProducer TExternalLogProducer::CreateBound(const TLogProducerTexts& texts,
                                               const TEntryPoints& entryPoints,
                                               const TProducerEnvironment& environment) {
  std::unique_ptr<TExternalLogProducer> producer(new TExternalLogProducer(texts));
  producer->Entry = entryPoints;
  producer->CountFailuresIn(environment.Failures);
  producer->Start();
  return producer;
}

void TExternalLogProducer::Bind() {
  // "path argument...": the path ends at the first blank or control byte.
  std::size_t end = 0;
  while (end < LibraryName.size() && static_cast<unsigned char>(LibraryName[end]) > 32) ++end;
  const std::string path = LibraryName.substr(0, end);
  const std::string argument = StripControl(LibraryName.substr(end));
  if (path.empty()) {
    BindError = "no library named";
    return;
  }
  if (!Library.Open(path)) {
    BindError = "cannot load " + path + ": " + Library.Error();
    return;
  }
  TEntryPoints bound;
  bound.AddMessageProc =
      reinterpret_cast<TExtProviderLibrary_AddMessageProc>(Library.Symbol("LogProviderAddMessage"));
  bound.InitializeProc =
      reinterpret_cast<TExtProviderLibrary_InitializeProc>(Library.Symbol("LogProviderInitialize"));
  bound.FinalizeProc =
      reinterpret_cast<TExtProviderLibrary_FinalizeProc>(Library.Symbol("LogProviderFinalize"));
  if (bound.AddMessageProc == nullptr) {
    BindError = path + " lacks LogProviderAddMessage";
    Library.Close();
    return;
  }
  if (bound.InitializeProc) {
    const int rc = bound.InitializeProc(ClientAddress.c_str(), ClientPort.c_str(),
                                        ApplicationName.c_str(), ModuleName.c_str(),
                                        FilePrefix.c_str(), argument.c_str());
    if (rc != 0) {
      // A refused entry is not finalized.
      BindError = path + " refused the entry (LogProviderInitialize returned " +
                  std::to_string(rc) + ")";
      Library.Close();
      return;
    }
  }
  Entry = bound;
}

TExternalLogProducer::~TExternalLogProducer() {
  Stop();
  WaitFor();
  Tasks.Clear();
  // After the thread's last call; the library is unloaded after this.
  if (Entry.FinalizeProc) Entry.FinalizeProc();
}

void TExternalLogProducer::Stop() {
  Terminate();
  Tasks.Release();
}

void TExternalLogProducer::StopAfterQueue() {
  WriteQueue.store(true);
  Stop();
}

void TExternalLogProducer::AddMessage(const std::string& Text, double EventTime,
                                      double ServerTime) {
  Tasks.Push(std::make_unique<TExternalLogProducerTask>(Text, EventTime, ServerTime));
}

void TExternalLogProducer::Execute() {
  // One task a pass, so that after Stop at most one more reaches the library.
  for (;;) {
    PExternalLogProducerTask task;
    // The library is called outside the queue's lock, so a slow library
    // never holds up AddMessage for longer than a list operation.
    // A library built in C++ may throw through its C entry point: the
    // message is lost then, and counted.
    // Once stopped, what is queued is taken without waiting for more.
    const bool popped = Tasks.Pop(task, Terminated() && WriteQueue.load() ? 0 : -1);
    if (popped && Entry.AddMessageProc)
      CallRecordingFailures(FailureCounter(), "ls-provider library", [&] {
        Entry.AddMessageProc(task->EventTime(), task->ServerTime(), task->Text());
      });
    if (Terminated() && !(popped && WriteQueue.load())) break;
  }
}

}  // namespace logserver
