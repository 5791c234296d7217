// A NATS client of the test's own, as another program on the same server
// would be: publishes raw messages to a stream (what an earlier collector
// or a hostile publisher sends), and watches a subject.
#pragma once

#include "stream/uNatsHandles.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

class TNatsClient {
 public:
  // Connects to `url`; makes the stream (subjects "<subject>.>") when missing.
  TNatsClient(const std::string& url, const std::string& stream, const std::string& subject);
  bool Connected() const { return Js != nullptr; }

  // Publishes and waits for the stream's acknowledgement.
  bool Publish(const std::string& subject, const std::map<std::string, std::string>& headers,
               const std::string& body);

  // Starts watching `subject` (wildcards allowed); Received() counts what
  // came since, and Arrivals() when.
  bool Watch(const std::string& subject);
  std::size_t Received();
  std::vector<std::chrono::steady_clock::time_point> Arrivals();

 private:
  static void OnMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* self);
  logserver::TNatsConnection Connection;
  logserver::TJsContext Js;
  logserver::TNatsSubscription Subscription;
  std::vector<std::chrono::steady_clock::time_point> Times;
};

}  // namespace testing_support
