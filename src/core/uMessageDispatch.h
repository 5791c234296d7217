// Dispatch: what the main loop does with the elements it pops. A client
// run (TPKT) becomes one message per unit, decoded and handed to the
// producer registry; a datagram one syslog message, and a syslog run (TCP
// or TLS) one syslog message per unit; a TPKT connect or disconnect a
// service-log line (and, for a disconnect, the end of that client's file
// producers), a closed syslog connection the end of its producers. With
// [Stream] on, each message is offered to the publisher as well. Every popped batch is written with group commit: one write
// per file.
//
// Threading: the main thread only, checked by the main-thread role in debug
// builds. Ownership: everything it uses is lent by the service core and
// outlives it.
#pragma once

#include "core/uClientMessage.h"
#include "core/uLogQueue.h"
#include "core/uParkedSenders.h"
#include "core/uServiceConfig.h"
#include "core/uServiceLog.h"
#include "base/uLogMessage.h"
#include "producers/uLogProducer.h"
#include "platform/uThread.h"
#include "stream/uStreamPublisher.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace logserver {

class TMessageDispatch {
 public:
  TMessageDispatch(const TServiceConfig& config, tLogQueue& queue, tLogProducerHolder& producers,
                   TServiceLog& serviceLog, const TThreadRole& mainThread);
  TMessageDispatch(const TMessageDispatch&) = delete;
  TMessageDispatch& operator=(const TMessageDispatch&) = delete;

  // Waits until elements are queued or the queue is released (unless
  // senders wait, see TParkedSenders), then dispatches what is queued
  // (within bounds), oldest first but for waiting senders, whose elements
  // follow for a slice of time; the lines go out with one write per file
  // before it returns.
  void DispatchPending();
  // Acts on one element, then frees it.
  void DispatchElement(pLogQueueElement element);
  // At the stop: the messages still queued go to their files, for at most
  // kStopWriteLimitMs; connects and disconnects are dropped. Messages left
  // when time runs out are counted in the service log.
  void WriteQueuedMessages();

  static constexpr std::uint64_t kStopWriteLimitMs = 10000;

  // Every message also goes to `stream` (lent, outlives the dispatch, or
  // null: none); without `writeFiles` only there. The stream writes every
  // message ahead into its spool before its line reaches a file.
  void SetStream(TStreamPublisher* stream, bool writeFiles);

  // Client records that could not be decoded (dropped) since the start.
  // Any thread.
  std::uint64_t InvalidRecords() const { return Invalid_.load(std::memory_order_relaxed); }

 private:
  // Acts on one element (it is freed by the caller).
  void Dispatch(const tLogQueueElement& e);
  void DispatchMessage(const tLogQueueElement& e, bool logLines);
  // One syslog message (a datagram, or a unit of a TCP run).
  void DispatchSyslogMessage(const tLogQueueElement& e, const std::string& port,
                             std::string_view message, bool logLines);
  void DispatchClientMessage(const tLogQueueElement& e, const std::string& port,
                             std::string_view payload, bool logLines);

  const TServiceConfig& Config;
  tLogQueue& Queue;
  tLogProducerHolder& Producers;
  TServiceLog& ServiceLog;
  const TThreadRole& MainThread;
  // The popped batch and the message being dispatched: their room is kept.
  std::vector<pLogQueueElement> Batch;
  // Senders whose elements took the writer long, served between the pops.
  TParkedSenders Parked;
  tClientLogMessage Decoded;
  std::atomic<std::uint64_t> Invalid_{0};
  TStreamPublisher* Stream = nullptr;
  bool WriteFiles = true;
  // Tells the stream to write ahead before the file table writes.
  class TWriteAheadFirst : public TLogFileTable::TWriteObserver {
   public:
    TStreamPublisher* Stream = nullptr;
    bool HoldsBatches() const override { return false; }
    void BeforeWrite(const std::vector<std::pair<TLogFilePath, std::uint64_t>>&) override {
      Stream->WriteAhead();
    }
    void AfterBatchWrite(const std::vector<int>&) override {}
  };
  TWriteAheadFirst WriteAheadFirst;
  // The message being dispatched; its room is kept.
  TLogMessage Message;
  // The address that sent Message when its Address names another host
  // (PathBy=hostname); empty otherwise. Its budget is charged too.
  std::string Sender;
  // The server time of the element being dispatched.
  double ElementTime = 0;
  // A message's road: to the files, the stream, or both. `Message` is
  // filled but for its server time.
  void Deliver(bool mayWait);
};

}  // namespace logserver
