#include "support/NatsClient.h"

#include <mutex>

namespace testing_support {

namespace {
std::mutex ArrivalsLock;
}

TNatsClient::TNatsClient(const std::string& url, const std::string& stream, const std::string& subject) {
  natsConnection* connection = nullptr;
  if (natsConnection_ConnectTo(&connection, url.c_str()) != NATS_OK) return;
  Connection.reset(connection);
  jsCtx* js = nullptr;
  if (natsConnection_JetStream(&js, Connection.get(), nullptr) != NATS_OK) return;
  jsStreamInfo* info = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  if (js_GetStreamInfo(&info, js, stream.c_str(), nullptr, &code) == NATS_OK) {
    jsStreamInfo_Destroy(info);
  } else {
    const std::string subjects = subject + ".>";
    const char* list[] = {subjects.c_str()};
    jsStreamConfig config;
    jsStreamConfig_Init(&config);
    config.Name = stream.c_str();
    config.Subjects = list;
    config.SubjectsLen = 1;
    config.Storage = js_FileStorage;
    if (js_AddStream(&info, js, &config, nullptr, &code) != NATS_OK) {
      jsCtx_Destroy(js);
      return;
    }
    jsStreamInfo_Destroy(info);
  }
  Js.reset(js);
}

bool TNatsClient::Publish(const std::string& subject, const std::map<std::string, std::string>& headers,
                          const std::string& body) {
  natsMsg* raw = nullptr;
  if (natsMsg_Create(&raw, subject.c_str(), nullptr, body.data(), static_cast<int>(body.size())) != NATS_OK)
    return false;
  logserver::TNatsMsg msg(raw);
  for (const auto& [key, value] : headers)
    if (natsMsgHeader_Set(msg.get(), key.c_str(), value.c_str()) != NATS_OK) return false;
  jsPubAck* ack = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  if (js_PublishMsg(&ack, Js.get(), msg.get(), nullptr, &code) != NATS_OK) return false;
  jsPubAck_Destroy(ack);
  return true;
}

void TNatsClient::OnMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* self) {
  const std::lock_guard<std::mutex> held(ArrivalsLock);
  static_cast<TNatsClient*>(self)->Times.push_back(std::chrono::steady_clock::now());
  natsMsg_Destroy(msg);
}

bool TNatsClient::Watch(const std::string& subject) {
  natsSubscription* subscription = nullptr;
  if (natsConnection_Subscribe(&subscription, Connection.get(), subject.c_str(), &OnMessage, this) != NATS_OK)
    return false;
  Subscription.reset(subscription);
  return natsConnection_Flush(Connection.get()) == NATS_OK;
}

std::size_t TNatsClient::Received() {
  const std::lock_guard<std::mutex> held(ArrivalsLock);
  return Times.size();
}

std::vector<std::chrono::steady_clock::time_point> TNatsClient::Arrivals() {
  const std::lock_guard<std::mutex> held(ArrivalsLock);
  return Times;
}

}  // namespace testing_support
