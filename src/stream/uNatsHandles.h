// Owners of libnats's handles: each is destroyed exactly once, by whoever
// holds it, on every path. A connection is closed before it is destroyed.
#pragma once

#include <nats/nats.h>

#include <memory>

namespace logserver {

struct TNatsConnectionCloser {
  void operator()(natsConnection* connection) const {
    natsConnection_Close(connection);
    natsConnection_Destroy(connection);
  }
};
struct TJsContextDestroyer {
  void operator()(jsCtx* js) const { jsCtx_Destroy(js); }
};
struct TNatsSubscriptionDestroyer {
  void operator()(natsSubscription* subscription) const { natsSubscription_Destroy(subscription); }
};
struct TNatsOptionsDestroyer {
  void operator()(natsOptions* options) const { natsOptions_Destroy(options); }
};
struct TNatsMsgDestroyer {
  void operator()(natsMsg* msg) const { natsMsg_Destroy(msg); }
};

using TNatsConnection = std::unique_ptr<natsConnection, TNatsConnectionCloser>;
using TJsContext = std::unique_ptr<jsCtx, TJsContextDestroyer>;
using TNatsSubscription = std::unique_ptr<natsSubscription, TNatsSubscriptionDestroyer>;
using TNatsOptions = std::unique_ptr<natsOptions, TNatsOptionsDestroyer>;
using TNatsMsg = std::unique_ptr<natsMsg, TNatsMsgDestroyer>;

// A fetched list of messages; its messages go with it.
class TNatsMsgList {
 public:
  TNatsMsgList() = default;
  ~TNatsMsgList() { natsMsgList_Destroy(&List); }
  TNatsMsgList(const TNatsMsgList&) = delete;
  TNatsMsgList& operator=(const TNatsMsgList&) = delete;
  natsMsgList* Get() { return &List; }
  int Count() const { return List.Count; }
  natsMsg* At(int i) const { return List.Msgs[i]; }

 private:
  natsMsgList List{};
};

}  // namespace logserver
