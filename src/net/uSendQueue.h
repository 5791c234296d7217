// The UDP server's send commands and the queue through which other threads
// hand them to the server thread.
#pragma once

#include "platform/uBoundedQueue.h"

#include <cstdint>
#include <memory>
#include <string>

namespace logserver {

enum tSendCMD : std::uint8_t {
  cmdSendToClient = 0,
  cmdSendToIP = 1,
  cmdSendDisconnect = 2,
};

// One send command; Data is the message's own copy.
struct tSendMSG {
  tSendCMD Command = cmdSendToClient;
  std::string Address;  // at most 45 characters (IPv6 text), for cmdSendToIP
  std::uint16_t Port = 0;
  std::uint16_t ClientID = 0;
  std::string Data;
};
using pSendMSG = std::unique_ptr<tSendMSG>;

// First in, first out, at most MaxCount commands. Thread-safe.
class TSendQueue {
 public:
  static constexpr int MaxCount = 10000;

  // Drops the message when the queue is full.
  void Push(pSendMSG Msg) { Items.TryPush(Msg); }
  // The oldest command, or nothing; never waits.
  pSendMSG Pop() {
    pSendMSG msg;
    Items.Pop(msg, 0);
    return msg;
  }
  void Clear() { Items.Clear(); }
  std::size_t Count() { return Items.Count(); }

 private:
  TBoundedQueue<pSendMSG> Items{MaxCount};
};

}  // namespace logserver
