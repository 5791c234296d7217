#include "archive/uArchiveWriter.h"

#include "platform/uFiles.h"
#include "platform/uProcess.h"
#include "platform/uTime.h"

#include <nats/nats.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace logserver {

namespace {

// Ids of this many messages written last are remembered: a collector's
// second copy of a message (sent again after the stream's duplicate
// window) is written once.
constexpr std::size_t kRecentIds = 200000;
// How long a fetch waits for messages, and the pause before a new link.
constexpr std::int64_t kFetchWaitMs = 1000;
constexpr int kReconnectRestMs = 500;
// The stream redelivers what is not acknowledged within this.
// Written sequences kept beside the watermark at most.
constexpr std::size_t kMaxAbove = 100000;
constexpr std::int64_t kAckWaitNs = 10LL * 1000 * 1000 * 1000;

std::vector<std::string> SplitList(const std::string& text, char separator) {
  std::vector<std::string> out;
  std::string item;
  std::istringstream in(text);
  while (std::getline(in, item, separator)) {
    while (!item.empty() && item.front() == ' ') item.erase(0, 1);
    while (!item.empty() && item.back() == ' ') item.pop_back();
    if (!item.empty()) out.push_back(item);
  }
  return out;
}

std::string Joined(const std::string& directory, const char* name) {
  return directory.empty() || directory.back() == '/' ? directory + name : directory + "/" + name;
}

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

TArchiveWriter::TArchiveWriter(const TArchiveSettings& settings)
    : Settings(settings),
      StatePath(Joined(settings.BaseCatalog, ".archive-state")),
      IntentPath(Joined(settings.BaseCatalog, ".archive-intent")),
      Files(std::make_unique<TLogFileTable>(TDescriptorBudget::ForLimit(RaiseDescriptorLimit()))),
      Producers(std::make_unique<tLogProducerHolder>(
          settings.BaseCatalog, TIniEntries{}, TProducerEnvironment{Files.get(), &Failures})) {
  Files->TrackSyncs();
}

TArchiveWriter::~TArchiveWriter() {
  Disconnect();
  Producers.reset();
}

void TArchiveWriter::Say(const std::string& line) const { WriteStandardError("logserver-archive: " + line + "\n"); }

bool TArchiveWriter::IsWritten(std::uint64_t sequence) const {
  return sequence <= Watermark || Above.count(sequence) > 0;
}

void TArchiveWriter::MarkWritten(std::uint64_t sequence) {
  if (sequence <= Watermark) return;
  Above.insert(sequence);
  // A sequence the stream no longer has (deleted by its limits) never
  // comes: past a bound the watermark moves over such holes.
  if (Above.size() > kMaxAbove) Watermark = *Above.begin() - 1;
  while (!Above.empty() && *Above.begin() == Watermark + 1) {
    ++Watermark;
    Above.erase(Above.begin());
  }
}

bool TArchiveWriter::SaveState() {
  std::string text = std::to_string(Batches) + " " + std::to_string(Watermark);
  for (const std::uint64_t sequence : Above) text += " " + std::to_string(sequence);
  return ReplaceFileAtomically(StatePath, text + "\n", 0640);
}

bool TArchiveWriter::SaveIntent(std::uint64_t batch,
                                const std::vector<std::pair<TLogFilePath, std::uint64_t>>& sizes) {
  std::string text = std::to_string(batch) + "\n";
  for (const auto& [path, size] : sizes) {
    text += std::to_string(size);
    for (const std::string& directory : path.Directories) text += " " + EscapeHeaderValue(directory);
    text += " " + EscapeHeaderValue(path.FileName) + "\n";
  }
  return ReplaceFileAtomically(IntentPath, text, 0640);
}

bool TArchiveWriter::Recover() {
  if (!ForceDirectories(Settings.BaseCatalog, kLogDirectoryMode)) {
    Say("cannot make " + Settings.BaseCatalog + ": " + std::strerror(errno));
    return false;
  }
  RemoveReplaceLeftovers(StatePath);
  RemoveReplaceLeftovers(IntentPath);
  std::string text;
  bool exists = false;
  if (ReadFileText(StatePath, text, exists, 16u << 20) && exists) {
    std::istringstream state(text);
    std::uint64_t sequence = 0;
    state >> Batches >> Watermark;
    while (state >> sequence) Above.insert(sequence);
  }
  if (!ReadFileText(IntentPath, text, exists, 64u << 20) || !exists) return true;
  std::istringstream lines(text);
  std::string line;
  std::getline(lines, line);
  const std::uint64_t intended = std::strtoull(line.c_str(), nullptr, 10);
  if (intended > Batches) {
    // The batch may be written in part: its files go back to their sizes
    // before it, and the stream delivers it again.
    std::size_t cut = 0;
    while (std::getline(lines, line)) {
      std::vector<std::string> parts = SplitList(line, ' ');
      if (parts.size() < 2) continue;
      const std::uint64_t size = std::strtoull(parts[0].c_str(), nullptr, 10);
      std::vector<std::string> directories;
      std::string name;
      bool valid = true;
      for (std::size_t i = 1; i < parts.size(); ++i) {
        std::string part;
        valid = valid && UnescapeHeaderValue(parts[i], part);
        if (i + 1 < parts.size())
          directories.push_back(part);
        else
          name = part;
      }
      if (!valid) continue;
      TDescriptor fd = OpenLogFileBelow(Settings.BaseCatalog, directories, name);
      if (fd && TruncateFile(fd.Get(), size) && SyncFile(fd.Get())) ++cut;
    }
    Say("batch " + std::to_string(intended) + " was cut short: " +
        std::to_string(cut) + " files set back; it is written again");
  }
  RemoveFile(IntentPath);
  return true;
}

bool TArchiveWriter::Connect() {
  std::string error;
  natsOptions* options = NewNatsLinkOptions(Settings, "logserver-archive", error);
  if (options == nullptr) {
    Say("cannot set up the link to " + Settings.Servers + ": " + error);
    return false;
  }
  natsStatus status = natsConnection_Connect(&Connection, options);
  natsOptions_Destroy(options);
  if (status == NATS_OK) status = natsConnection_JetStream(&Js, Connection, nullptr);
  if (status == NATS_OK) {
    const std::string subject = Settings.Subject + ".>";
    jsSubOptions sub;
    jsSubOptions_Init(&sub);
    sub.Stream = Settings.Stream.c_str();
    sub.Config.AckPolicy = js_AckExplicit;
    sub.Config.AckWait = kAckWaitNs;
    // Few in flight: what a crash left unacknowledged comes again soon,
    // and the written sequences above the watermark stay few.
    sub.Config.MaxAckPending = Settings.Batch;
    jsErrCode code = static_cast<jsErrCode>(0);
    status = js_PullSubscribe(&Subscription, Js, subject.c_str(), Settings.Durable.c_str(), nullptr,
                              &sub, &code);
  }
  if (status != NATS_OK) {
    Say("no link to " + Settings.Servers + " yet: " + natsStatus_GetText(status) + " (" +
        nats_GetLastError(nullptr) + ")");
    Disconnect();
    return false;
  }
  Say("consuming " + Settings.Stream + " as " + Settings.Durable + " into " + Settings.BaseCatalog);
  // Messages an earlier run took and did not acknowledge come again once
  // their time is up; fetching before that would write later ones first.
  jsConsumerInfo* info = nullptr;
  if (natsSubscription_GetConsumerInfo(&info, Subscription, nullptr, nullptr) == NATS_OK && info != nullptr) {
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
  if (Subscription != nullptr) natsSubscription_Destroy(Subscription);
  if (Js != nullptr) jsCtx_Destroy(Js);
  if (Connection != nullptr) {
    natsConnection_Close(Connection);
    natsConnection_Destroy(Connection);
  }
  Subscription = nullptr;
  Js = nullptr;
  Connection = nullptr;
}

bool TArchiveWriter::Decode(natsMsg* message, TStreamRecord& record) const {
  // A name may be empty, and an empty header does not travel: missing is
  // empty. The id and the times must be there.
  auto header = [&](const char* key, std::string& out) {
    const char* value = nullptr;
    if (natsMsgHeader_Get(message, key, &value) != NATS_OK || value == nullptr) {
      out.clear();
      return true;
    }
    return UnescapeHeaderValue(value, out);
  };
  std::string eventTime, serverTime;
  const char* id = nullptr;
  if (natsMsgHeader_Get(message, kHeaderMessageId, &id) != NATS_OK || id == nullptr) return false;
  record.MessageId = id;
  if (!header(kHeaderAddress, record.Address) || !header(kHeaderPort, record.Port) ||
      !header(kHeaderApplication, record.Application) || !header(kHeaderModule, record.Module) ||
      !header(kHeaderPrefix, record.Prefix) || !header(kHeaderEventTime, eventTime) ||
      !header(kHeaderServerTime, serverTime) || record.Address.empty() ||
      !ParseStreamTime(eventTime, record.EventTime) ||
      !ParseStreamTime(serverTime, record.ServerTime))
    return false;
  const char* data = natsMsg_GetData(message);
  record.Text.assign(data != nullptr ? data : "", static_cast<std::size_t>(natsMsg_GetDataLength(message)));
  return true;
}

void TArchiveWriter::Remember(const std::string& id) {
  if (!RecentIds.insert(id).second) return;
  RecentOrder.push_back(id);
  if (RecentOrder.size() > kRecentIds) {
    RecentIds.erase(RecentOrder.front());
    RecentOrder.pop_front();
  }
}

bool TArchiveWriter::WriteBatch(std::vector<natsMsg*>& messages) {
  std::vector<std::uint64_t> sequences;
  std::vector<TStreamRecord> records;
  records.reserve(messages.size());
  // What this batch takes: a message delivered twice within one batch, or
  // a collector's second copy in it, is written once. The ids join the
  // remembered ones only once the batch is written.
  std::unordered_set<std::uint64_t> batchSequences;
  std::unordered_set<std::string> batchIds;
  for (natsMsg* message : messages) {
    jsMsgMetaData* meta = nullptr;
    if (natsMsg_GetMetaData(&meta, message) != NATS_OK) continue;
    const std::uint64_t sequence = meta->Sequence.Stream;
    jsMsgMetaData_Destroy(meta);
    if (IsWritten(sequence) || !batchSequences.insert(sequence).second) {
      ++Skipped_;  // written before a crash, acknowledged after it
      continue;
    }
    sequences.push_back(sequence);
    TStreamRecord record;
    if (!Decode(message, record)) {
      ++Skipped_;
      Say("stream sequence " + std::to_string(sequence) + " is no collector's message: skipped");
      continue;
    }
    if (RecentIds.count(record.MessageId) > 0 || !batchIds.insert(record.MessageId).second) {
      ++Skipped_;
      continue;
    }
    records.push_back(std::move(record));
  }
  if (!records.empty()) {
    {
      tLogProducerHolder::TWriteBatch batch(*Producers);
      for (const TStreamRecord& r : records)
        Producers->AddMessageAt(r.Address, r.Port, r.Application, r.Module, r.Prefix, r.Text,
                                r.EventTime, r.ServerTime);
      if (!SaveIntent(Batches + 1, Files->PendingFileSizes())) {
        Say(std::string("cannot write the intent: ") + std::strerror(errno));
        return false;
      }
    }
    if (!Files->SyncWritten()) {
      Say(std::string("cannot sync the files: ") + std::strerror(errno));
      return false;
    }
    for (const TStreamRecord& r : records) Remember(r.MessageId);
    Written_ += records.size();
  }
  if (!sequences.empty()) {
    ++Batches;
    for (const std::uint64_t sequence : sequences) MarkWritten(sequence);
    if (!SaveState()) {
      Say(std::string("cannot write the state: ") + std::strerror(errno));
      return false;
    }
  }
  RemoveFile(IntentPath);
  Producers->ForgetIdlePeers(Now());
  return true;
}

int TArchiveWriter::Run() {
  if (!Recover()) return 2;
  while (!Stopping.load()) {
    if (Subscription == nullptr && !Connect()) {
      for (int i = 0; i < 10 && !Stopping.load(); ++i) SleepMilliseconds(kReconnectRestMs / 10);
      continue;
    }
    natsMsgList list{};
    jsErrCode code = static_cast<jsErrCode>(0);
    const natsStatus status = natsSubscription_Fetch(&list, Subscription, Settings.Batch, kFetchWaitMs, &code);
    if (status == NATS_TIMEOUT) continue;
    if (status != NATS_OK) {
      if (natsConnection_Status(Connection) == NATS_CONN_STATUS_CLOSED) Disconnect();
      SleepMilliseconds(100);
      continue;
    }
    std::vector<natsMsg*> messages(list.Msgs, list.Msgs + list.Count);
    if (WriteBatch(messages)) {
      // An acknowledgement lost on the way brings its message again, to be
      // skipped.
      for (natsMsg* message : messages) natsMsg_Ack(message, nullptr);
    } else
      SleepMilliseconds(1000);  // not acknowledged: the stream delivers them again
    natsMsgList_Destroy(&list);
  }
  Say("stopped: " + std::to_string(Written_) + " lines written, " + std::to_string(Skipped_) +
      " messages skipped");
  return 0;
}

}  // namespace logserver
