#include "core/uServiceCounters.h"
#include "core/uStreamHandOff.h"

#include "core/uLogQueue.h"
#include "core/uMessageDispatch.h"
#include "net/uIPServerHeader.h"
#include "net/uSyslogStreamServer.h"
#include "core/uConfigReload.h"
#include "net/uSenderRates.h"
#include "net/uUnfinishedBytes.h"
#include "producers/uLogProducerHolder.h"

namespace logserver {

std::uint64_t TServiceCounters::ReceivedAll() const {
  std::uint64_t all = 0;
  for (const std::uint64_t count : Received) all += count;
  return all;
}

std::int64_t TServiceCounters::ConnectionsAll() const {
  std::int64_t all = 0;
  for (const std::int64_t count : Connections) all += count;
  return all;
}

TServiceCounters TakeCounters(const TReportSources& s) {
  TServiceCounters c;
  if (s.Intake) {
    for (std::size_t kind = 0; kind < kIntakeKinds; ++kind) {
      const TIntakeCounts& counts = s.Intake->Counts(static_cast<TIntakeKind>(kind));
      c.Received[kind] = counts.Messages.load(std::memory_order_relaxed);
      c.ReceivedBytes[kind] = counts.Bytes.load(std::memory_order_relaxed);
      c.Connections[kind] = counts.Connections.load(std::memory_order_relaxed);
    }
    c.DroppedQueueFull = s.Intake->DroppedDatagrams();
  }
  if (s.Producers) {
    const TLogFileTable::TCounts files = s.Producers->FileCounts();
    c.Written = files.Written;
    c.WrittenBytes = files.WrittenBytes;
    c.FileWrites = files.Writes;
    c.OpenFailed = files.OpenFailed;
    c.WriteFailed = files.WriteFailed;
    c.OpenFiles = s.Producers->OpenFiles();
    c.PendingWriteBytes = s.Producers->PendingFileBytes();
    c.ToProviders = s.Producers->ClaimedByProviders();
    c.Overflowed = s.Producers->Overflowed();
    c.ForgottenIdle = s.Producers->PeersForgottenIdle();
    c.ForgottenBound = s.Producers->PeersForgottenEarly();
  }
  if (s.Dispatch) c.InvalidRecords = s.Dispatch->InvalidRecords();
  if (s.TcpCounters) {
    c.NotTpktBytes = s.TcpCounters->UnframedBytes.load();
    c.TpktRefusedPerAddress = s.TcpCounters->RefusedPerAddress.load();
    c.TpktClosedIdle = s.TcpCounters->ClosedIdle.load();
  }
  if (s.Unfinished) {
    c.UnfinishedBytes = s.Unfinished->Held();
    c.ClosedStalled = s.Unfinished->Closed();
  }
  if (s.Rates) {
    for (std::size_t kind = 0; kind < kIntakeKinds; ++kind)
      c.RateLimited[kind] = s.Rates->LimitedMessages(static_cast<TIntakeKind>(kind));
    c.RateLimitedSenders = s.Rates->LimitedSenders();
  }
  if (s.Reloads) {
    c.ReloadsApplied = s.Reloads->Applied.load();
    c.ReloadsRefused = s.Reloads->Refused.load();
    c.LastReloadSucceeded = s.Reloads->LastSucceeded.load();
    c.LastReloadAt = s.Reloads->LastAt.load();
  }
  if (s.UdpCounters) {
    c.KernelDrops = s.UdpCounters->KernelDrops.load();
    c.ReceiveBufferBytes = s.UdpCounters->ReceiveBufferBytes.load();
  }
  if (s.SyslogTcpCounters && s.SyslogTcpCounters->On.load()) {
    c.SyslogTcpOn = true;
    c.FramingErrors = s.SyslogTcpCounters->FramingErrors.load();
    c.RefusedConnections = s.SyslogTcpCounters->Refused.load();
    c.RefusedPerAddress = s.SyslogTcpCounters->RefusedPerAddress.load();
    c.ClosedIdle = s.SyslogTcpCounters->ClosedIdle.load();
    c.CutMessages = s.SyslogTcpCounters->CutMessages.load();
    c.FailedHandshakes = s.SyslogTcpCounters->FailedHandshakes.load();
  }
  if (s.Queue) {
    c.QueuedElements = s.Queue->Count();
    c.QueuedBytes = s.Queue->QueuedBytes();
  }
  if (s.Stream) c.StreamOn = s.Stream->Counts(c.Stream);
  return c;
}

}  // namespace logserver
