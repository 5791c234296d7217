#include "net/uReceiveManager.h"

#include "net/uTCPConnection.h"
#include "net/uTCPServer.h"
#include "platform/uBufferPool.h"
#include "platform/uUnitRun.h"

namespace logserver {

bool TReceiveManagerQueue::Push(tReceiveMSG message, const TThread* canceller) {
  if (canceller == nullptr) return Items.TryPush(message);
  return Items.PushWaiting(message, [canceller] { return canceller->Terminated(); });
}

bool TReceiveManagerQueue::Pop(tReceiveMSG& message, int timeoutMs) {
  return Items.Pop(message, timeoutMs);
}

std::unique_ptr<TReceiveManager> TReceiveManager::Create(TCustomTCPServer* Owner) {
  std::unique_ptr<TReceiveManager> manager(new TReceiveManager(Owner));
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
    if (Owner->OnBatchEnd) CallHandlerSafely([&] { Owner->OnBatchEnd(); });
  }
  // What the connections handed over is delivered before the manager ends:
  // it was read from the clients, and the owner writes it. The listener stops
  // its connections first, so nothing more arrives but what is in flight.
  batch.clear();
  while (Queue.PopAll(batch, 0) > 0) {
    for (tReceiveMSG& m : batch) Deliver(m);
    batch.clear();
  }
  if (Owner->OnBatchEnd) CallHandlerSafely([&] { Owner->OnBatchEnd(); });
}

void TReceiveManager::Deliver(tReceiveMSG& m) {
  if (m.Connection == nullptr) return;
  TIPConnection& connection = *m.Connection;
  const auto size = static_cast<std::uint32_t>(m.Data.size());
  const char* data = m.Data.empty() ? nullptr : m.Data.data();
  switch (m.Event) {
    case ceConnect:
      if (Owner->OnConnect) CallHandlerSafely([&] { Owner->OnConnect(connection); });
      break;
    case ceDisconnect:
      if (Owner->OnDisconnect) {
        CallHandlerSafely([&] { Owner->OnDisconnect(connection); });
        Owner->RemoveConnection(connection.ClientID);
      }
      break;
    case ceReceiveData:
      if (m.Packed && Owner->OnReceiveRun) {
        CallHandlerSafely([&] { Owner->OnReceiveRun(connection, m.Data); });
        break;
      }
      if (!Owner->OnReceive) break;
      if (m.Packed) {
        ForEachUnit(m.Data, [&](const char* unit, std::size_t length) {
          CallHandlerSafely(
              [&] { Owner->OnReceive(connection, unit, static_cast<std::uint32_t>(length)); });
        });
      } else {
        CallHandlerSafely([&] { Owner->OnReceive(connection, data, size); });
      }
      break;
    case ceSendData:
      if (Owner->OnSend) CallHandlerSafely([&] { Owner->OnSend(connection, data, size); });
      break;
    default:
      break;
  }
  // Whatever the handlers left of a run's buffer goes back for reuse.
  if (m.Packed) TBufferPool::Shared().Give(std::move(m.Data));
}

}  // namespace logserver
