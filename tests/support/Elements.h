// Log queue elements as the intake makes them, and the client message of
// the worked example, for tests of the queue, dispatch and the decoder.
#pragma once

#include "core/uLogQueue.h"
#include "platform/uUnitRun.h"

#include <cstdint>
#include <initializer_list>
#include <string>

namespace testing_support {

// An element of 10.1.2.3:4000; a datagram's data is its bytes.
inline logserver::pLogQueueElement Element(std::int32_t kind, const std::string& data = std::string()) {
  auto e = std::make_unique<logserver::tLogQueueElement>();
  e->Kind = kind;
  e->ClientAddress = "10.1.2.3";
  e->ClientPort = 4000;
  e->Data = logserver::TPooledBuffer(data);
  e->Units = kind == logserver::lqkSyslogDatagram ? 1 : 0;
  return e;
}

// A client element holding the payloads of one read as a run.
inline logserver::pLogQueueElement ClientRun(std::initializer_list<std::string> payloads) {
  logserver::pLogQueueElement e = Element(logserver::lqkClientData);
  for (const std::string& payload : payloads) {
    logserver::AppendUnit(e->Data, payload.data(), payload.size());
    ++e->Units;
  }
  return e;
}

// The 53-byte client message of the worked example: application "app",
// module "mod", no prefix, event time 2024-03-05 12:00:00.000, text "hi".
inline std::string WorkedExample() {
  const unsigned char bytes[] = {
      0x00, 0x35, 0x00, 0x00, 0x00, 0x2d, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x30,
      0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x33, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x90, 0x25, 0xe6, 0x40, 0x33, 0x00, 0x00, 0x00, 0x02,
      0x00, 0x00, 0x00, 0x61, 0x70, 0x70, 0x6d, 0x6f, 0x64, 0x68, 0x69};
  return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

}  // namespace testing_support
