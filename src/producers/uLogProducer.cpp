#include "producers/uLogProducer.h"

#include "core/uDateTimeMask.h"
#include "core/uIniFile.h"
#include "platform/uFiles.h"
#include "platform/uTime.h"

#include <cstring>

namespace logserver {

// ---------------------------------------------------------------------------
// TCustomLogProducer

TCustomLogProducer::TCustomLogProducer(std::string BaseCatalog_, std::string ClientAddress_,
                                       std::string ClientPort_, std::string ApplicationName_,
                                       std::string ModuleName_, std::string FilePrefix_,
                                       std::string LibraryName_, std::size_t stackSize)
    : TThread(stackSize),
      LibraryName(std::move(LibraryName_)),
      BaseCatalog(std::move(BaseCatalog_)),
      ClientAddress(std::move(ClientAddress_)),
      ClientPort(std::move(ClientPort_)),
      ApplicationName(std::move(ApplicationName_)),
      ModuleName(std::move(ModuleName_)),
      FilePrefix(std::move(FilePrefix_)) {}

void TCustomLogProducer::AddMessage(const std::string&, double, double) {}

// ---------------------------------------------------------------------------
// TFileLogProducer

std::string SafePathName(const std::string& name) {
  std::string safe;
  safe.reserve(name.size());
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = name.find('/', start);
    const std::size_t end = slash == std::string::npos ? name.size() : slash;
    if (end - start == 2 && name[start] == '.' && name[start + 1] == '.') {
      safe += "__";
    } else {
      for (std::size_t i = start; i < end; ++i) safe += name[i] == '\0' ? '_' : name[i];
    }
    if (slash == std::string::npos) break;
    safe += '/';
    start = slash + 1;
  }
  return safe;
}

PLogProducer TFileLogProducer::Create(const std::string& BaseCatalog,
                                      const std::string& ClientAddress,
                                      const std::string& ClientPort,
                                      const std::string& ApplicationName,
                                      const std::string& ModuleName,
                                      const std::string& FilePrefix,
                                      const std::string& LibraryName) {
  std::unique_ptr<TFileLogProducer> producer(new TFileLogProducer(
      BaseCatalog, ClientAddress, ClientPort, ApplicationName, ModuleName, FilePrefix, LibraryName));
  producer->Start();
  // The body ends at once; joining it now gives its stack back, so that
  // thousands of live producers (syslog senders never disconnect) hold no
  // finished threads. Later Stop and WaitFor calls return at once.
  producer->WaitFor();
  return producer;
}

TFileLogProducer::~TFileLogProducer() {
  StopAndWait();
  CloseFile();
}

std::string TFileLogProducer::FilePath(double ServerTime) const {
  std::string path = BaseCatalog + ClientAddress + "/" + SafePathName(ApplicationName) + "/" +
                     SafePathName(ModuleName) + "/" + FormatDateTime("yyyy_mm_dd", ServerTime) + "/";
  if (!FilePrefix.empty()) path += SafePathName(FilePrefix) + "_";
  path += FormatDateTime("hh", ServerTime) + ".log";
  return path;
}

void TFileLogProducer::AddMessage(const std::string& Text, double EventTime, double ServerTime) {
  const double hour = StartOfHour(ServerTime);
  // The first message always chooses a file, also in the (theoretical) hour
  // whose start is the value 0.0.
  if (!HourChosen || hour != CurrentHour) {
    OpenFile(FilePath(ServerTime));
    CurrentHour = hour;
    HourChosen = true;
  }
  if (!Attached) return;
  std::string line;
  if (EventTime != 0.0) {
    line = FormatDateTime("hh:nn:ss.zzz", ServerTime);
    line += FormatDateTime("[hh:nn:ss.zzz] : ", EventTime);
  }
  line += Text;
  line += "\r\n";
  // Errors lose the line; the next one goes after whatever reached the file.
  TLogFileTable::Shared().Append(CurrentPath, line);
}

void TFileLogProducer::OpenFile(const std::string& Path) {
  CloseFile();
  CurrentPath = Path;
  Attached = TLogFileTable::Shared().Attach(CurrentPath);
}

void TFileLogProducer::CloseFile() {
  if (!Attached) return;
  TLogFileTable::Shared().Detach(CurrentPath);
  Attached = false;
}

// ---------------------------------------------------------------------------
// TLogFileTable

TLogFileTable& TLogFileTable::Shared() {
  static TLogFileTable table;
  return table;
}

TLogFileTable::~TLogFileTable() {
  for (auto& [path, entry] : Entries) Close(entry);
}

bool TLogFileTable::Open(const std::string& path, TEntry& entry) {
  CloseOldest(Capacity - 1);
  const bool isNew = !PathExists(path);
  if (isNew) {
    const std::string directory = DirectoryPart(path);
    if (!DirectoryExists(directory)) ForceDirectories(directory);
  }
  // A new file is created without truncation: should it appear between the
  // test and the open, its lines are kept.
  entry.fd = OpenAppend(path, isNew);
  if (entry.fd == -1) return false;
  Recent.push_front(path);
  entry.recent = Recent.begin();
  return true;
}

void TLogFileTable::Close(TEntry& entry) {
  if (entry.fd == -1) return;
  CloseDescriptor(entry.fd);
  entry.fd = -1;
  Recent.erase(entry.recent);
}

void TLogFileTable::CloseOldest(std::size_t keep) {
  while (Recent.size() > keep) {
    const auto it = Entries.find(Recent.back());
    Close(it->second);
    if (it->second.users == 0) Entries.erase(it);
  }
}

bool TLogFileTable::Attach(const std::string& path) {
  std::lock_guard<std::mutex> guard(Guard);
  TEntry& entry = Entries[path];
  if (entry.fd == -1 && !Open(path, entry)) {
    if (entry.users == 0) Entries.erase(path);
    return false;
  }
  ++entry.users;
  return true;
}

void TLogFileTable::Detach(const std::string& path) {
  std::lock_guard<std::mutex> guard(Guard);
  const auto it = Entries.find(path);
  if (it == Entries.end() || it->second.users == 0) return;
  if (--it->second.users > 0) return;
  Close(it->second);
  Entries.erase(it);
}

bool TLogFileTable::Append(const std::string& path, const std::string& data) {
  std::lock_guard<std::mutex> guard(Guard);
  const auto it = Entries.find(path);
  if (it == Entries.end()) return false;
  TEntry& entry = it->second;
  if (entry.fd == -1) {
    if (!Open(path, entry)) return false;
  } else if (entry.recent != Recent.begin()) {
    Recent.splice(Recent.begin(), Recent, entry.recent);
  }
  // One append per line keeps lines of producers sharing the file apart; a
  // short write is finished, and a line that cannot be finished (disk full)
  // is taken out again, so no line is ever torn.
  return AppendWhole(entry.fd, data.data(), data.size());
}

std::size_t TLogFileTable::OpenFiles() {
  std::lock_guard<std::mutex> guard(Guard);
  return Recent.size();
}

void TLogFileTable::SetCapacity(std::size_t capacity) {
  std::lock_guard<std::mutex> guard(Guard);
  Capacity = capacity < 1 ? 1 : capacity;
  CloseOldest(Capacity);
}

// ---------------------------------------------------------------------------
// TExternalLogProducer

namespace {

void PutU32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint32_t GetU32(const std::uint8_t* p) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
void PutF64(std::uint8_t* p, double d) {
  std::uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(bits >> (8 * i));
}
double GetF64(const std::uint8_t* p) {
  std::uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = (bits << 8) | p[i];
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

}  // namespace

TExternalLogProducerTask::TExternalLogProducerTask(const std::string& Text, double EventTime,
                                                   double ServerTime)
    : block_(21 + Text.size(), 0) {
  PutU32(block_.data(), static_cast<std::uint32_t>(block_.size()));
  PutF64(block_.data() + 4, EventTime);
  PutF64(block_.data() + 12, ServerTime);
  if (!Text.empty()) std::memcpy(block_.data() + 20, Text.data(), Text.size());
}

std::uint32_t TExternalLogProducerTask::Size() const { return GetU32(block_.data()); }
double TExternalLogProducerTask::EventTime() const { return GetF64(block_.data() + 4); }
double TExternalLogProducerTask::ServerTime() const { return GetF64(block_.data() + 12); }

TExternalLogProducer::TExternalLogProducer(const std::string& BaseCatalog_,
                                           const std::string& ClientAddress_,
                                           const std::string& ClientPort_,
                                           const std::string& ApplicationName_,
                                           const std::string& ModuleName_,
                                           const std::string& FilePrefix_,
                                           const std::string& LibraryName_)
    : TCustomLogProducer(BaseCatalog_, ClientAddress_, ClientPort_, ApplicationName_, ModuleName_,
                         FilePrefix_, LibraryName_, kLibraryStackSize) {}

PLogProducer TExternalLogProducer::Create(const std::string& BaseCatalog,
                                          const std::string& ClientAddress,
                                          const std::string& ClientPort,
                                          const std::string& ApplicationName,
                                          const std::string& ModuleName,
                                          const std::string& FilePrefix,
                                          const std::string& LibraryName) {
  std::unique_ptr<TExternalLogProducer> producer(new TExternalLogProducer(
      BaseCatalog, ClientAddress, ClientPort, ApplicationName, ModuleName, FilePrefix, LibraryName));
  producer->Bind();
  producer->Start();
  return producer;
}

PLogProducer TExternalLogProducer::CreateBound(
    const std::string& BaseCatalog, const std::string& ClientAddress,
    const std::string& ClientPort, const std::string& ApplicationName,
    const std::string& ModuleName, const std::string& FilePrefix, const std::string& LibraryName,
    const TEntryPoints& entryPoints) {
  std::unique_ptr<TExternalLogProducer> producer(new TExternalLogProducer(
      BaseCatalog, ClientAddress, ClientPort, ApplicationName, ModuleName, FilePrefix, LibraryName));
  producer->Entry = entryPoints;
  producer->Start();
  return producer;
}

void TExternalLogProducer::Bind() {
  // "path argument...": the path ends at the first blank or control byte.
  std::size_t end = 0;
  while (end < LibraryName.size() && static_cast<unsigned char>(LibraryName[end]) > 32) ++end;
  const std::string path = LibraryName.substr(0, end);
  const std::string argument = StripControl(LibraryName.substr(end));
  if (path.empty()) {
    BindError = "no library named";
    return;
  }
  if (!Library.Open(path)) {
    BindError = "cannot load " + path + ": " + Library.Error();
    return;
  }
  TEntryPoints bound;
  bound.AddMessageProc =
      reinterpret_cast<TExtProviderLibrary_AddMessageProc>(Library.Symbol("LogProviderAddMessage"));
  bound.InitializeProc =
      reinterpret_cast<TExtProviderLibrary_InitializeProc>(Library.Symbol("LogProviderInitialize"));
  bound.FinalizeProc =
      reinterpret_cast<TExtProviderLibrary_FinalizeProc>(Library.Symbol("LogProviderFinalize"));
  if (bound.AddMessageProc == nullptr) {
    BindError = path + " lacks LogProviderAddMessage";
    Library.Close();
    return;
  }
  if (bound.InitializeProc) {
    const int rc = bound.InitializeProc(ClientAddress.c_str(), ClientPort.c_str(),
                                        ApplicationName.c_str(), ModuleName.c_str(),
                                        FilePrefix.c_str(), argument.c_str());
    if (rc != 0) {
      // A refused entry is not finalized.
      BindError = path + " refused the entry (LogProviderInitialize returned " +
                  std::to_string(rc) + ")";
      Library.Close();
      return;
    }
  }
  Entry = bound;
}

TExternalLogProducer::~TExternalLogProducer() {
  Stop();
  WaitFor();
  {
    TLockGuard guard(TaskLock);
    Tasks.clear();
  }
  // After the thread's last call; the library is unloaded after this.
  if (Entry.FinalizeProc) Entry.FinalizeProc();
}

void TExternalLogProducer::Stop() {
  Terminate();
  TaskSignal.Post();
}

void TExternalLogProducer::AddMessage(const std::string& Text, double EventTime,
                                      double ServerTime) {
  TLockGuard guard(TaskLock);
  Tasks.push_back(std::make_unique<TExternalLogProducerTask>(Text, EventTime, ServerTime));
  TaskSignal.Post();
}

std::size_t TExternalLogProducer::QueuedTasks() {
  TLockGuard guard(TaskLock);
  return Tasks.size();
}

void TExternalLogProducer::Execute() {
  for (;;) {
    if (TaskSignal.Wait()) {
      PExternalLogProducerTask task;
      {
        TLockGuard guard(TaskLock);
        if (!Tasks.empty()) {
          task = std::move(Tasks.front());
          Tasks.pop_front();
        }
      }
      // The library is called outside the lock, so a slow library never
      // holds up AddMessage for longer than a list operation.
      if (task && Entry.AddMessageProc) {
        try {
          Entry.AddMessageProc(task->EventTime(), task->ServerTime(), task->Text());
        } catch (...) {
        }
      }
    }
    if (Terminated()) break;
  }
}

// ---------------------------------------------------------------------------
// tLogProducerHolder

namespace {

std::string LowerCase(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

}  // namespace

std::vector<std::string> SplitProviderKey(const std::string& key) {
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  std::vector<std::string> fields;
  const std::size_t n = key.size();
  std::size_t i = 0;
  while (i < n && blank(key[i])) ++i;
  while (i < n) {
    std::string field;
    if (key[i] == '"') {
      ++i;
      while (i < n) {
        if (key[i] == '"') {
          if (i + 1 < n && key[i + 1] == '"') {
            field += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        field += key[i++];
      }
    } else {
      const std::size_t start = i;
      while (i < n && !blank(key[i]) && key[i] != '|') ++i;
      field = key.substr(start, i - start);
    }
    fields.push_back(std::move(field));
    while (i < n && blank(key[i])) ++i;
    if (i < n && key[i] == '|') {
      if (i + 1 == n) fields.emplace_back();
      do {
        ++i;
      } while (i < n && blank(key[i]));
    }
  }
  return fields;
}

tLogProducerHolder::tLogProducerHolder(std::string BaseCatalog_, const std::string& configPath,
                                       TLogProducerClass fileProducerClass,
                                       TLogProducerClass externalProducerClass,
                                       const TProviderReport& report)
    : BaseCatalog(std::move(BaseCatalog_)),
      FileProducerClass(fileProducerClass),
      ExternalProducerClass(externalProducerClass) {
  ReadProviders(
      configPath.empty() ? DirectoryPart(ExecutablePath()) + "LogServer.conf" : configPath, report);
}

tLogProducerHolder::~tLogProducerHolder() { StopAll(); }

void tLogProducerHolder::ReadProviders(const std::string& configPath,
                                       const TProviderReport& report) {
  std::string text;
  bool exists = false;
  if (!ReadFileText(configPath, text, exists) || !exists) return;
  const tIniDocument document(text);
  for (const auto& [key, value] : document.ReadSection("Providers")) {
    const std::vector<std::string> fields = SplitProviderKey(key);
    if (fields.size() != 4) continue;
    const std::size_t colon = fields[0].find(':');
    const std::string address = fields[0].substr(0, colon);
    const std::string port = colon == std::string::npos ? "0" : fields[0].substr(colon + 1);
    PLogProducer producer =
        ExternalProducerClass(std::string(), address, port, fields[1], fields[2], fields[3], value);
    if (!producer->IsActive()) {
      // Its messages go to the files as if the entry were absent.
      const auto* external = dynamic_cast<const TExternalLogProducer*>(producer.get());
      if (report)
        report("PROVIDER \"" + key + "\" NOT USED: " +
               (external ? external->GetBindError() : std::string("not active")));
      StopAndFree(producer);
      continue;
    }
    Entries_.emplace_back(key, std::move(producer));
    ProviderIndex[key].push_back(std::prev(Entries_.end()));
  }
}

void tLogProducerHolder::AddMessage(const std::string& ClientAddress, const std::string& ClientPort,
                                    const std::string& ApplicationName,
                                    const std::string& ModuleName, const std::string& FilePrefix,
                                    const std::string& Text, double EventTime) {
  AddMessageAt(ClientAddress, ClientPort, ApplicationName, ModuleName, FilePrefix, Text, EventTime,
               Now());
}

void tLogProducerHolder::AddMessageAt(const std::string& ClientAddress,
                                      const std::string& ClientPort,
                                      const std::string& ApplicationName,
                                      const std::string& ModuleName,
                                      const std::string& FilePrefix, const std::string& Text,
                                      double EventTime, double ServerTime) {
  const std::string names = ApplicationName + "|" + ModuleName + "|";
  const std::string keys[3] = {ClientAddress + ":" + ClientPort + "|" + names + FilePrefix,
                               ClientAddress + "|" + names + FilePrefix,
                               ClientAddress + "|" + names};
  bool claimed = false;
  if (!ProviderIndex.empty()) {
    for (int k = 0; k < 3; ++k) {
      // Equal keys find the same entries; skipping a repeated key gives every
      // entry the message at most once (an empty prefix makes keys 2 and 3 equal).
      bool repeated = false;
      for (int j = 0; j < k; ++j) repeated = repeated || keys[j] == keys[k];
      if (repeated) continue;
      const auto found = ProviderIndex.find(keys[k]);
      if (found == ProviderIndex.end()) continue;
      for (const TEntries::iterator& entry : found->second)
        entry->second->AddMessage(Text, EventTime, ServerTime);
      claimed = true;
    }
  }
  if (claimed) return;

  const std::string peer = "*" + ClientAddress + ":" + ClientPort;
  const std::string clientKey = peer + "=" + names + FilePrefix;
  const std::string lowerKey = LowerCase(clientKey);
  TCustomLogProducer* producer = nullptr;
  const auto found = ClientIndex.find(lowerKey);
  if (found != ClientIndex.end()) {
    producer = found->second->second.get();
  } else {
    Entries_.emplace_back(clientKey, FileProducerClass(BaseCatalog, ClientAddress, ClientPort,
                                                       ApplicationName, ModuleName, FilePrefix,
                                                       std::string()));
    const TEntries::iterator entry = std::prev(Entries_.end());
    ClientIndex.emplace(lowerKey, entry);
    PeerIndex[LowerCase(peer)].push_back(entry);
    producer = entry->second.get();
  }
  producer->AddMessage(Text, EventTime, ServerTime);
}

void tLogProducerHolder::RemoveClientProducers(const std::string& ClientAddress,
                                               const std::string& ClientPort) {
  // Provider keys hold no "=", so only client entries are indexed by peer.
  const auto found = PeerIndex.find(LowerCase("*" + ClientAddress + ":" + ClientPort));
  if (found == PeerIndex.end()) return;
  const std::vector<TEntries::iterator> entries = std::move(found->second);
  PeerIndex.erase(found);
  for (const TEntries::iterator& entry : entries) {
    StopAndFree(entry->second);
    ClientIndex.erase(LowerCase(entry->first));
    Entries_.erase(entry);
  }
}

void tLogProducerHolder::StopAll() {
  for (TEntry& entry : Entries_) StopAndFree(entry.second);
  ProviderIndex.clear();
  ClientIndex.clear();
  PeerIndex.clear();
  Entries_.clear();
}

void tLogProducerHolder::StopAndFree(PLogProducer& producer) {
  if (!producer) return;
  producer->Stop();
  producer->WaitFor();
  producer.reset();
}

}  // namespace logserver
