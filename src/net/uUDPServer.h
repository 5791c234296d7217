// UDP server: one thread that owns one datagram socket, reads every datagram,
// keeps the table of peers it has seen, raises the events, and carries out
// the send commands other threads queue for it.
//
// Threading: every socket call and every event runs on the server thread.
// The send operations may be called from any thread; they only queue a
// command, under a guard that also orders them against the thread freeing
// its send queue and peer list, so they never reach freed objects.
#pragma once

#include "net/uIPServerHeader.h"
#include "platform/uSocket.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace logserver {

struct tUDPClient {
  std::string Address;  // dotted quad
  std::uint16_t Port = 0;
};
using pUDPClient = std::unique_ptr<tUDPClient>;

// 1024 peer slots; a peer's slot is its identity while it stays listed.
// Every operation holds the list's recursive lock for its whole duration.
class TUDPClintList {
 public:
  static constexpr int kSlots = 1024;
  static constexpr std::uint16_t kFullSlot = 255;

  // The first occupied slot holding exactly this address and port.
  bool FindClient(const std::string& Address, std::uint16_t Port, std::uint16_t& Index);
  // Stores a copy in the lowest free slot; 255 (and nothing stored) when full.
  std::uint16_t AddClient(const tUDPClient& Client);
  bool GetClient(int Index, tUDPClient& Client);
  bool RemoveClient(std::uint16_t Index);
  void Clear();

  void Lock() { Guard.lock(); }
  void Unlock() { Guard.unlock(); }

 private:
  TRecursiveLock Guard;
  std::array<pUDPClient, kSlots> Slots;  // guarded by Guard
};

enum tSendCMD : std::uint8_t {
  cmdSendToClient = 0,
  cmdSendToIP = 1,
  cmdSendDisconnect = 2,
};

// One send command; Data is the message's own copy.
struct tSendMSG {
  tSendCMD Command = cmdSendToClient;
  std::string Address;  // at most 15 characters, for cmdSendToIP
  std::uint16_t Port = 0;
  std::uint16_t ClientID = 0;
  std::string Data;
};
using pSendMSG = std::unique_ptr<tSendMSG>;

// First in, first out, at most MaxCount commands. Pending counts pushes; Pop
// drains it whenever it leaves the list empty.
class TSendQueue {
 public:
  static constexpr int MaxCount = 10000;

  ~TSendQueue() { Clear(); }
  // Drops the message when the queue is full.
  void Push(pSendMSG Msg);
  pSendMSG Pop();
  void Clear();
  std::size_t Count();

  TSemaphore Pending{0};

 private:
  TRecursiveLock Guard;
  std::deque<pSendMSG> Items;  // guarded by Guard
};

class tUDPServer : public TIPConnection {
 public:
  static constexpr int kBufferSize = 8192;

  // Builds the server and starts its thread; the socket is opened there.
  static std::unique_ptr<tUDPServer> Create(tNotifyDataTCPEvent OnReceive,
                                            tNotifyDataTCPEvent OnSend,
                                            tNotifyTCPEvent OnDisconnect,
                                            tNotifyTCPEvent OnConnect,
                                            const std::string& Address, std::uint16_t Port);
  ~tUDPServer() override;

  // True once serving began (the signal is used up); else ErrorCode is
  // LastError, or the errno of the timed-out wait.
  bool WaitStarted(int TimeoutMs, int& ErrorCode);
  // 1 without touching the socket once terminated.
  int SetSocketOption(int Level, int OptName, const void* OptVal, int OptLen) override;

  // Send operations: queue a command and return at once; nothing happens
  // while the server is stopping or not serving.
  void SendToClient(std::uint16_t ClientID, const char* Data, int Size);
  void SendToIP(const std::string& Address, std::uint16_t Port, const char* Data, int Size);
  void SendToAll(const char* Data, int Size);
  void DisconnectClient(std::uint16_t ClientID);
  // "address:port" of the peer in that slot, or empty.
  std::string GetClientText(std::uint16_t ClientID);
  // The socket's granted receive buffer in bytes, -1 while not serving.
  int ReceiveBufferSize();

  int LastError() const { return LastError_.load(); }
  // The port bound (0 before serving); for tests that bind port 0.
  std::uint16_t BoundPort() const { return BoundPort_.load(); }

  const tNotifyDataTCPEvent OnReceive;
  const tNotifyDataTCPEvent OnSend;
  const tNotifyTCPEvent OnDisconnect;
  const tNotifyTCPEvent OnConnect;
  const std::string Address;
  const std::uint16_t Port;

 protected:
  void Execute() override;

 private:
  tUDPServer(tNotifyDataTCPEvent onReceive, tNotifyDataTCPEvent onSend,
             tNotifyTCPEvent onDisconnect, tNotifyTCPEvent onConnect, std::string address,
             std::uint16_t port);

  bool OpenSocket();
  void ServeLoop();
  void CloseSocket();
  int WaitForEvents();
  void ReceiveDatagram();
  void SendPending();
  // Queues a command if the server is serving.
  void PushCommand(pSendMSG Msg);
  void SetPeer(std::uint16_t id, const std::string& address, std::uint16_t port);

  // Guards the socket number and the two owned lists against the send
  // operations of other threads while the server thread opens or frees them.
  std::mutex StateGuard;
  int Socket = -1;
  std::unique_ptr<TUDPClintList> Clients;
  std::unique_ptr<TSendQueue> SendQueue;

  std::atomic<int> LastError_{0};
  std::atomic<std::uint16_t> BoundPort_{0};
  std::vector<char> Buffer;
  TSemaphore Started{0};
};

}  // namespace logserver
