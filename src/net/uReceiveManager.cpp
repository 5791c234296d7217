#include "net/uReceiveManager.h"

namespace logserver {

namespace {

constexpr const char* kHandlerFailure = "ls-tcp-recv handler";

}  // namespace

bool TReceiveManagerQueue::Push(tReceiveMSG& message, const TThread* canceller) {
  if (canceller == nullptr) return Items.TryPush(message);
  return Items.PushWaiting(message, [canceller] { return canceller->Terminated(); });
}

std::unique_ptr<TReceiveManager> TReceiveManager::Create(const TServerSetup& events,
                                                         TConnectionEnded connectionEnded) {
  std::unique_ptr<TReceiveManager> manager(new TReceiveManager(events, std::move(connectionEnded)));
  manager->CountFailuresIn(events.Failures);
  manager->Start();
  return manager;
}

void TReceiveManager::Execute() {
  std::vector<tReceiveMSG> batch;
  // Terminate wakes the wait (Wake), so it needs no time limit.
  while (!Terminated()) {
    batch.clear();
    if (Queue.PopAll(batch, -1) == 0) continue;
    for (tReceiveMSG& m : batch) Deliver(m);
    EndBatch();
  }
  // What the connections handed over is delivered before the manager ends:
  // it was read from the clients, and the owner writes it. The listener stops
  // its connections first, so nothing more arrives but what is in flight.
  batch.clear();
  while (Queue.PopAll(batch, 0) > 0) {
    for (tReceiveMSG& m : batch) Deliver(m);
    batch.clear();
  }
  EndBatch();
}

void TReceiveManager::EndBatch() {
  if (Events.OnBatchEnd)
    CallRecordingFailures(FailureCounter(), kHandlerFailure, [&] { Events.OnBatchEnd(); });
}

void TReceiveManager::Deliver(tReceiveMSG& m) {
  if (m.Connection == nullptr) return;
  TIPConnection& connection = *m.Connection;
  TCaughtFailures* failures = FailureCounter();
  switch (m.Event) {
    case ceConnect:
      if (Events.OnConnect)
        CallRecordingFailures(failures, kHandlerFailure, [&] { Events.OnConnect(connection); });
      break;
    case ceDisconnect:
      if (Events.OnDisconnect) {
        CallRecordingFailures(failures, kHandlerFailure, [&] { Events.OnDisconnect(connection); });
        if (ConnectionEnded) ConnectionEnded(connection.ClientID);
      }
      break;
    case ceReceiveData:
      if (Events.OnReceiveRun) {
        CallRecordingFailures(failures, kHandlerFailure,
                              [&] { Events.OnReceiveRun(connection, m.Run); });
      } else if (Events.OnReceive) {
        // An owner without a run handler sees each unit on its own.
        m.Run.ForEach([&](const char* unit, std::size_t length) {
          CallRecordingFailures(failures, kHandlerFailure, [&] {
            Events.OnReceive(connection, unit, static_cast<std::uint32_t>(length));
          });
        });
      }
      break;
    case ceSendData:
      if (Events.OnSend)
        CallRecordingFailures(failures, kHandlerFailure, [&] {
          Events.OnSend(connection, m.Chunk.empty() ? nullptr : m.Chunk.data(),
                        static_cast<std::uint32_t>(m.Chunk.size()));
        });
      break;
    default:
      break;
  }
}

}  // namespace logserver
