#include "archive/uArchiveWriter.h"

#include "platform/uFiles.h"
#include "platform/uProcess.h"
#include "platform/uTime.h"

#include <prometheus/metric_family.h>
#include <prometheus/text_serializer.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <unordered_set>

namespace logserver {

namespace {

// How long a fetch waits for messages, and the pause before a new link.
constexpr std::int64_t kFetchWaitMs = 1000;
constexpr int kReconnectRestMs = 500;
// The stream redelivers what is not acknowledged within this.
constexpr std::int64_t kAckWaitNs = 10LL * 1000 * 1000 * 1000;
// Messages delivered and not yet acknowledged at most: the fetches ahead
// and the batch being synced.
constexpr std::int64_t kMaxAckPending = 1024;
// Refused messages are reported at most this often.
constexpr std::uint64_t kRefusalReportMs = 60 * 1000;
// The days a date mask prints: years 1 to 9999.
constexpr double kFirstDay = -693593.0;  // 0001-01-01
constexpr double kEndDay = 2958466.0;    // 10000-01-01

bool IsDecimal(std::string_view text) {
  if (text.size() > 5) return false;
  for (const char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

bool PrintableDay(double days) { return std::isfinite(days) && days >= kFirstDay && days < kEndDay; }

}  // namespace

bool ParseArchiveSettings(const std::string& text, TArchiveSettings& settings, std::string& error) {
  const TIniDocument document(text);
  settings.Servers = document.ReadString("Archive", "Servers", "");
  settings.Stream = document.ReadString("Archive", "Stream", settings.Stream);
  settings.Durable = document.ReadString("Archive", "Durable", settings.Durable);
  settings.Subject = document.ReadString("Archive", "Subject", settings.Subject);
  settings.BaseCatalog = document.ReadString("Archive", "BaseCatalog", "");
  settings.Credentials = document.ReadString("Archive", "Credentials", "");
  settings.TlsCA = document.ReadString("Archive", "TlsCA", "");
  settings.MetricsListen = document.ReadString("Metrics", "Listen", "");
  if (SplitServers(settings.Servers).empty()) {
    error = "[Archive] Servers names no server";
    return false;
  }
  if (settings.BaseCatalog.empty()) {
    error = "[Archive] BaseCatalog is not set";
    return false;
  }
  for (const std::string* name : {&settings.Stream, &settings.Durable})
    if (name->empty() || SubjectToken(*name) != *name) {
      error = "[Archive] Stream and Durable are letters, digits, '-' and '_': " + *name;
      return false;
    }
  if (settings.Subject.empty() || settings.Subject.find_first_of("*> ") != std::string::npos) {
    error = "[Archive] Subject is a subject prefix without wildcards: " + settings.Subject;
    return false;
  }
  return true;
}

bool IsArchivable(const TStreamMessage& message, std::string& why) {
  if (!IsUsableHostName(message.Address)) {
    why = "address \"" + EscapeHeaderValue(message.Address) + "\" is no sender's";
    return false;
  }
  for (const TStreamMessage::TRecord& record : message.Records) {
    if (!IsDecimal(record.Port)) {
      why = "port \"" + EscapeHeaderValue(record.Port) + "\" is not a number";
      return false;
    }
    // 0 is syslog's event time: no stamp is printed for it.
    if (!PrintableDay(record.ServerTime) || (record.EventTime != 0.0 && !PrintableDay(record.EventTime))) {
      why = "a time outside the years 1 to 9999";
      return false;
    }
  }
  return true;
}

TArchiveWriter::TArchiveWriter(const TArchiveSettings& settings)
    : Settings(settings),
      Journal(settings.BaseCatalog),
      Files(std::make_unique<TLogFileTable>(TDescriptorBudget::ForLimit(RaiseDescriptorLimit()))),
      Producers(std::make_unique<tLogProducerHolder>(
          settings.BaseCatalog, TIniEntries{}, TProducerEnvironment{Files.get(), &Failures})) {
  Files->SetObserver(&Journal);
}

TArchiveWriter::~TArchiveWriter() {
  Metrics.reset();
  Fetcher.reset();
  Syncer.reset();
  Disconnect();
  Producers.reset();
  Files->SetObserver(nullptr);
}

TArchiveWriter::TSyncer::TSyncer(TArchiveWriter& writer)
    : TThread("ls-archive-sync"), Writer(writer), Queue(kInFlight) {}

TArchiveWriter::TSyncer::~TSyncer() { StopAndWait(); }

void TArchiveWriter::TSyncer::Wake() { Queue.Release(); }

void TArchiveWriter::TSyncer::Push(std::unique_ptr<TPending> pending) {
  {
    TMutexLock held(Guard);
    ++OnTheWay;
  }
  Queue.PushWaiting(pending);
}

bool TArchiveWriter::TSyncer::Drain() {
  TMutexLock held(Guard);
  while (OnTheWay > 0) Idle.WaitFor(Guard, 100);
  return !Failed_.load();
}

std::vector<std::unique_ptr<TArchiveBatch>> TArchiveWriter::TSyncer::TakeUndone() {
  TMutexLock held(Guard);
  std::vector<std::unique_ptr<TArchiveBatch>> undone;
  undone.swap(Undone);
  return undone;
}

TArchiveWriter::TFetcher::TFetcher(natsSubscription* subscription, int batch)
    : TThread("ls-archive-fetch", 256 * 1024), Subscription(subscription), Batch(batch), Lists(2) {}

TArchiveWriter::TFetcher::~TFetcher() { StopAndWait(); }

void TArchiveWriter::TFetcher::Wake() {
  Lists.Close();  // a push waiting for room gives up
  Lists.Release();
}

bool TArchiveWriter::TFetcher::Next(std::unique_ptr<TNatsMsgList>& list, int timeoutMs) {
  return Lists.Pop(list, timeoutMs) && list != nullptr;
}

void TArchiveWriter::TFetcher::Execute() {
  while (!Terminated()) {
    auto list = std::make_unique<TNatsMsgList>();
    jsErrCode code = static_cast<jsErrCode>(0);
    const natsStatus status = natsSubscription_Fetch(list->Get(), Subscription, Batch, kFetchWaitMs, &code);
    if (status == NATS_TIMEOUT) continue;
    if (status != NATS_OK) {
      Failure_.store(static_cast<int>(status));
      SleepMilliseconds(100);
      continue;
    }
    Failure_.store(0);
    if (!Lists.PushWaiting(list)) break;  // stopping
  }
}

void TArchiveWriter::TSyncer::Execute() {
  std::unique_ptr<TPending> pending;
  while (!Terminated() || Queue.Count() > 0) {
    if (!Queue.Pop(pending, 100) || !pending) continue;
    // After a failure nothing later is done: it all comes again.
    const bool done = !Failed_.load() && Writer.Journal.MakeDurable(*pending->Batch);
    if (done) {
      // The whole fetch at once, now that it is durable. An acknowledgement
      // lost on the way brings its message again, to be skipped.
      for (int i = 0; i < pending->Messages->Count(); ++i) natsMsg_Ack(pending->Messages->At(i), nullptr);
      Writer.Records_.fetch_add(pending->Records, std::memory_order_relaxed);
      Writer.Messages_.fetch_add(pending->Batch->Ids.size(), std::memory_order_relaxed);
    } else if (!Failed_.exchange(true)) {
      Writer.Say(std::string("cannot make the batch durable: ") + ErrorText(errno));
    }
    TMutexLock held(Guard);
    if (!done) Undone.push_back(std::move(pending->Batch));
    pending.reset();
    --OnTheWay;
    Idle.NotifyAll();
  }
}

void TArchiveWriter::Say(const std::string& line) const { WriteStandardError("logserver-archive: " + line + "\n"); }

TArchiveWriter::TCounts TArchiveWriter::Counts() const {
  TCounts counts;
  counts.Records = Records_.load(std::memory_order_relaxed);
  counts.Messages = Messages_.load(std::memory_order_relaxed);
  counts.Skipped = Skipped_.load(std::memory_order_relaxed);
  counts.Refused = Refused_.load(std::memory_order_relaxed);
  counts.LagMessages = LagMessages_.load(std::memory_order_relaxed);
  const std::int64_t stamp = LastTimestampNs.load(std::memory_order_relaxed);
  if (stamp > 0) counts.LagSeconds = std::max(0.0, WallClockSeconds() - static_cast<double>(stamp) / 1e9);
  return counts;
}

std::string TArchiveWriter::RenderMetrics() const {
  using prometheus::MetricType;
  const TCounts counts = Counts();
  std::vector<prometheus::MetricFamily> families;
  auto add = [&](const char* name, const char* help, MetricType type, double value) {
    prometheus::MetricFamily family;
    family.name = name;
    family.help = help;
    family.type = type;
    prometheus::ClientMetric metric;
    if (type == MetricType::Counter)
      metric.counter.value = value;
    else
      metric.gauge.value = value;
    family.metric.push_back(metric);
    families.push_back(std::move(family));
  };
  add("logserver_archive_written_records_total", "Records written as lines (each once).", MetricType::Counter,
      static_cast<double>(counts.Records));
  add("logserver_archive_written_messages_total", "Stream messages written (each a batch of records).",
      MetricType::Counter, static_cast<double>(counts.Messages));
  add("logserver_archive_skipped_messages_total",
      "Stream messages skipped: written before (delivered again, or sent twice by a collector).",
      MetricType::Counter, static_cast<double>(counts.Skipped));
  add("logserver_archive_refused_messages_total",
      "Stream messages refused (malformed, or naming what no collector writes) and terminated.",
      MetricType::Counter, static_cast<double>(counts.Refused));
  add("logserver_archive_lag_messages", "Messages in the stream after the last one fetched.", MetricType::Gauge,
      static_cast<double>(counts.LagMessages));
  add("logserver_archive_lag_seconds", "Age of the last message fetched, by the stream's clock.",
      MetricType::Gauge, counts.LagSeconds);
  return prometheus::TextSerializer().Serialize(families);
}

bool TArchiveWriter::Connect() {
  std::string error;
  TNatsOptions options(NewNatsLinkOptions(Settings, "logserver-archive", error));
  if (!options) {
    Say("cannot set up the link to " + Settings.Servers + ": " + error);
    return false;
  }
  natsConnection* connection = nullptr;
  natsStatus status = natsConnection_Connect(&connection, options.get());
  Connection.reset(connection);
  jsCtx* js = nullptr;
  if (status == NATS_OK) status = natsConnection_JetStream(&js, Connection.get(), nullptr);
  Js.reset(js);
  if (status == NATS_OK) {
    const std::string subject = Settings.Subject + ".>";
    jsSubOptions sub;
    jsSubOptions_Init(&sub);
    sub.Stream = Settings.Stream.c_str();
    sub.Config.AckPolicy = js_AckExplicit;
    sub.Config.AckWait = kAckWaitNs;
    // Room for the fetches on their way (being written, being synced), and
    // still few: what a crash left unacknowledged comes again soon, and the
    // written sequences above the watermark stay few. (Earlier versions
    // made their durable consumer with this same value.)
    sub.Config.MaxAckPending = kMaxAckPending;
    jsErrCode code = static_cast<jsErrCode>(0);
    natsSubscription* subscription = nullptr;
    status = js_PullSubscribe(&subscription, Js.get(), subject.c_str(), Settings.Durable.c_str(), nullptr, &sub,
                              &code);
    Subscription.reset(subscription);
  }
  if (status != NATS_OK) {
    Say("no link to " + Settings.Servers + " yet: " + natsStatus_GetText(status) + " (" + nats_GetLastError(nullptr) +
        ")");
    Disconnect();
    return false;
  }
  Say("consuming " + Settings.Stream + " as " + Settings.Durable + " into " + Settings.BaseCatalog);
  // Messages an earlier run took and did not acknowledge come again once
  // their time is up; fetching before that would write later ones first.
  jsConsumerInfo* info = nullptr;
  if (natsSubscription_GetConsumerInfo(&info, Subscription.get(), nullptr, nullptr) == NATS_OK && info != nullptr) {
    const bool pending = info->NumAckPending > 0;
    jsConsumerInfo_Destroy(info);
    if (pending) {
      Say("waiting for the messages an earlier run did not acknowledge");
      for (std::int64_t waited = 0; waited < kAckWaitNs / 1000000 + 1000 && !Stopping.load(); waited += 100)
        SleepMilliseconds(100);
    }
  }
  return true;
}

void TArchiveWriter::Disconnect() {
  // What was fetched and not written comes again; what was written is
  // acknowledged on this link.
  Fetcher.reset();
  if (Syncer) Syncer->Drain();
  Subscription.reset();
  Js.reset();
  Connection.reset();
}

void TArchiveWriter::Refuse(natsMsg* message, const std::string& why) {
  Refused_.fetch_add(1, std::memory_order_relaxed);
  // Terminated: never delivered again, and counted as handled.
  natsMsg_Term(message, nullptr);
  ++RefusedSinceReport;
  const std::uint64_t now = MonotonicMilliseconds();
  if (now < NextRefusalReport) return;
  NextRefusalReport = now + kRefusalReportMs;
  const char* subject = natsMsg_GetSubject(message);
  Say("REFUSED: " + std::to_string(RefusedSinceReport) + " messages since the last report, the last on " +
      EscapeHeaderValue(subject != nullptr ? subject : "") + ": " + why);
  RefusedSinceReport = 0;
}

void TArchiveWriter::WriteBatch(std::unique_ptr<TNatsMsgList> messages) {
  std::vector<std::uint64_t> sequences;
  std::vector<std::string> ids;
  // What this fetch takes: a message delivered twice within it, or a
  // collector's second copy in it, is written once. Its ids join the
  // remembered ones only once it is durable.
  std::unordered_set<std::uint64_t> batchSequences;
  std::unordered_set<std::string> batchIds;
  std::uint64_t records = 0;
  std::string why;
  Journal.Begin();
  {
    // The fetch is one batch of the file table: its lines wait for its
    // end, and the journal sees them before and after.
    tLogProducerHolder::TWriteBatch batch(*Producers);
    for (int i = 0; i < messages->Count(); ++i) {
      natsMsg* message = messages->At(i);
      jsMsgMetaData* meta = nullptr;
      if (natsMsg_GetMetaData(&meta, message) != NATS_OK) continue;
      const std::uint64_t sequence = meta->Sequence.Stream;
      LagMessages_.store(meta->NumPending, std::memory_order_relaxed);
      LastTimestampNs.store(meta->Timestamp, std::memory_order_relaxed);
      jsMsgMetaData_Destroy(meta);
      if (Journal.IsWritten(sequence) || !batchSequences.insert(sequence).second) {
        Skipped_.fetch_add(1, std::memory_order_relaxed);  // written before a crash, acknowledged after it
        continue;
      }
      const THeaderLookup header = [message](const char* key, std::string_view& value) {
        const char* text = nullptr;
        if (natsMsgHeader_Get(message, key, &text) != NATS_OK || text == nullptr) return false;
        value = text;
        return true;
      };
      const char* data = natsMsg_GetData(message);
      const int length = natsMsg_GetDataLength(message);
      const TStreamDecode decoded = DecodeStreamMessage(
          header, std::string_view(data != nullptr ? data : "", static_cast<std::size_t>(std::max(length, 0))),
          Decoded);
      if (decoded != TStreamDecode::Ok) {
        Refuse(message, StreamDecodeText(decoded));
        continue;
      }
      // Every record is checked before any of the message is written.
      if (!IsArchivable(Decoded, why)) {
        Refuse(message, why);
        continue;
      }
      sequences.push_back(sequence);
      if (Journal.IsRecent(Decoded.Id) || !batchIds.insert(Decoded.Id).second) {
        Skipped_.fetch_add(1, std::memory_order_relaxed);
        continue;
      }
      ids.push_back(Decoded.Id);
      Record.Address = Decoded.Address;
      Record.Application = Decoded.Application;
      Record.Module = Decoded.Module;
      for (const TStreamMessage::TRecord& r : Decoded.Records) {
        Record.Port.assign(r.Port);
        Record.Prefix.assign(r.Prefix);
        Record.Text.assign(r.Text);
        Record.EventTime = r.EventTime;
        Record.ServerTime = r.ServerTime;
        Producers->AddMessage(Record);
      }
      records += Decoded.Records.size();
    }
  }
  auto pending = std::make_unique<TPending>();
  pending->Batch = Journal.End(std::move(sequences), std::move(ids));
  pending->Messages = std::move(messages);
  pending->Records = records;
  Syncer->Push(std::move(pending));
  Producers->ForgetIdlePeers(Now());
}

void TArchiveWriter::Recover() {
  Syncer->Drain();
  // The batches given up may be written in part: their files go back, and
  // their messages, not acknowledged, come again.
  const std::vector<std::unique_ptr<TArchiveBatch>> undone = Syncer->TakeUndone();
  Journal.SetBack(undone);
  Say(std::to_string(undone.size()) + " batches set back; they are written again");
  Syncer->Reset();
}

int TArchiveWriter::Run() {
  std::vector<std::string> said;
  if (!Journal.Open(said)) {
    Say("cannot use " + Settings.BaseCatalog + ": " + ErrorText(errno));
    return 2;
  }
  for (const std::string& line : said) Say(line);
  if (!Settings.MetricsListen.empty()) {
    try {
      Metrics = std::make_unique<TMetricsServer>(Settings.MetricsListen, [this] { return RenderMetrics(); });
    } catch (const std::exception& error) {
      Say(error.what());
      return 2;
    }
  }
  Syncer = std::make_unique<TSyncer>(*this);
  if (const int started = Syncer->Start(); started != 0) {
    Say(std::string("cannot start the syncing thread: ") + ErrorText(started));
    return 2;
  }
  while (!Stopping.load()) {
    if (Syncer->Failed()) {
      Recover();
      for (int i = 0; i < 10 && !Stopping.load(); ++i) SleepMilliseconds(100);
      continue;
    }
    if (!Subscription) {
      if (!Connect()) {
        for (int i = 0; i < 10 && !Stopping.load(); ++i) SleepMilliseconds(kReconnectRestMs / 10);
        continue;
      }
      Fetcher = std::make_unique<TFetcher>(Subscription.get(), Settings.Batch);
      if (const int started = Fetcher->Start(); started != 0) {
        Say(std::string("cannot start the fetching thread: ") + ErrorText(started));
        return 2;
      }
    }
    std::unique_ptr<TNatsMsgList> list;
    if (!Fetcher->Next(list, 100)) {
      if (Fetcher->Failure() != 0 && natsConnection_Status(Connection.get()) == NATS_CONN_STATUS_CLOSED)
        Disconnect();
      continue;
    }
    WriteBatch(std::move(list));
  }
  Fetcher.reset();
  // What was written is made durable and acknowledged before the stop.
  if (!Syncer->Drain()) Recover();
  Syncer.reset();
  const TCounts counts = Counts();
  Say("stopped: " + std::to_string(counts.Records) + " lines written, " + std::to_string(counts.Skipped) +
      " messages skipped, " + std::to_string(counts.Refused) + " refused");
  return 0;
}

}  // namespace logserver
