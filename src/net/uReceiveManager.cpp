#include "net/uReceiveManager.h"

#include "net/uTCPConnection.h"
#include "net/uTCPServer.h"

namespace logserver {

namespace {

// The manager looks at its terminate flag at least this often.
constexpr int kDeliveryWaitMs = 50;

}  // namespace

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
  while (!Terminated()) {
    tReceiveMSG m;
    if (Queue.Pop(m, kDeliveryWaitMs)) Deliver(m);
  }
  // What the connections handed over is delivered before the manager ends:
  // it was read from the clients, and the owner writes it. The listener stops
  // its connections first, so nothing more arrives but what is in flight.
  tReceiveMSG m;
  while (Queue.Pop(m, 0)) Deliver(m);
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
      if (Owner->OnReceive) CallHandlerSafely([&] { Owner->OnReceive(connection, data, size); });
      break;
    case ceSendData:
      if (Owner->OnSend) CallHandlerSafely([&] { Owner->OnSend(connection, data, size); });
      break;
    default:
      break;
  }
}

}  // namespace logserver
