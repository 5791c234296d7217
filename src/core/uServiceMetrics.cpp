#include "core/uServiceMetrics.h"

#include "core/uMainThread.h"
#include "core/uServiceCounters.h"
#include "core/uStreamHandOff.h"
#include "platform/uFiles.h"
#include "platform/uProcess.h"
#include "platform/uTime.h"

#include <prometheus/metric_family.h>
#include <prometheus/text_serializer.h>

#include <cstring>
#include <stdexcept>
#include <vector>

namespace logserver {

namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

MetricFamily Family(const char* name, const char* help, MetricType type) {
  MetricFamily family;
  family.name = name;
  family.help = help;
  family.type = type;
  return family;
}

void Add(MetricFamily& family, double value, std::vector<ClientMetric::Label> labels = {}) {
  ClientMetric metric;
  metric.label = std::move(labels);
  if (family.type == MetricType::Counter)
    metric.counter.value = value;
  else
    metric.gauge.value = value;
  family.metric.push_back(std::move(metric));
}

template <class THistogram>
MetricFamily Histogram(const char* name, const char* help, const THistogram& histogram) {
  MetricFamily family = Family(name, help, MetricType::Histogram);
  const typename THistogram::TReading reading = histogram.Read();
  ClientMetric metric;
  metric.histogram.sample_count = reading.Total;
  metric.histogram.sample_sum = reading.Sum;
  std::uint64_t cumulative = 0;
  for (std::size_t i = 0; i < reading.Counts.size(); ++i) {
    cumulative += reading.Counts[i];
    ClientMetric::Bucket bucket;
    bucket.cumulative_count = cumulative;
    bucket.upper_bound = i < THistogram::kBounds.size() ? THistogram::kBounds[i]
                                                                : std::numeric_limits<double>::infinity();
    metric.histogram.bucket.push_back(bucket);
  }
  family.metric.push_back(std::move(metric));
  return family;
}

// A family of one sample without labels.
void Single(std::vector<MetricFamily>& families, const char* name, const char* help, MetricType type,
            double value) {
  MetricFamily family = Family(name, help, type);
  Add(family, value);
  families.push_back(std::move(family));
}

using TValue = double (*)(const TServiceCounters&);
// One family: its samples, each a label value (empty: no label) and where
// its value is in the counters; `Shown` (when set) says whether it is there.
struct TMetricRow {
  const char* Name;
  const char* Help;
  MetricType Type;
  const char* Label;
  std::vector<std::pair<const char*, TValue>> Samples;
  bool (*Shown)(const TServiceCounters&) = nullptr;
};

template <std::size_t kind>
double ReceivedOf(const TServiceCounters& c) { return static_cast<double>(c.Received[kind]); }
template <std::size_t kind>
double ReceivedBytesOf(const TServiceCounters& c) { return static_cast<double>(c.ReceivedBytes[kind]); }
template <std::size_t kind>
double ConnectionsOf(const TServiceCounters& c) { return static_cast<double>(c.Connections[kind]); }
template <std::size_t kind>
double RateLimitedOf(const TServiceCounters& c) { return static_cast<double>(c.RateLimited[kind]); }
#define LS_FIELD(field) [](const TServiceCounters& c) { return static_cast<double>(c.field); }

bool SyslogTcpOn(const TServiceCounters& c) { return c.SyslogTcpOn; }
bool StreamOn(const TServiceCounters& c) { return c.StreamOn; }

// Every counter /metrics shows, in the order shown.
const std::vector<TMetricRow>& MetricRows() {
  static const std::vector<TMetricRow> rows = {
      {"logserver_received_messages_total", "Messages taken in, per intake.", MetricType::Counter, "intake",
       {{"tpkt", ReceivedOf<ikTpkt>}, {"udp", ReceivedOf<ikUdp>}, {"syslog_tcp", ReceivedOf<ikSyslogTcp>},
        {"syslog_tls", ReceivedOf<ikSyslogTls>}}},
      {"logserver_received_bytes_total", "Bytes of the messages taken in, per intake.", MetricType::Counter,
       "intake",
       {{"tpkt", ReceivedBytesOf<ikTpkt>}, {"udp", ReceivedBytesOf<ikUdp>},
        {"syslog_tcp", ReceivedBytesOf<ikSyslogTcp>}, {"syslog_tls", ReceivedBytesOf<ikSyslogTls>}}},
      {"logserver_written_lines_total", "Lines written to the log files (the service's own excluded).",
       MetricType::Counter, "", {{"", LS_FIELD(Written)}}},
      {"logserver_written_bytes_total", "Bytes of the lines written to the log files.", MetricType::Counter, "",
       {{"", LS_FIELD(WrittenBytes)}}},
      {"logserver_file_writes_total", "write() calls on the log files (group commit shows here).",
       MetricType::Counter, "", {{"", LS_FIELD(FileWrites)}}},
      {"logserver_provider_messages_total", "Messages handed to provider libraries.", MetricType::Counter, "",
       {{"", LS_FIELD(ToProviders)}}},
      {"logserver_dropped_messages_total", "Messages lost, by reason.", MetricType::Counter, "reason",
       {{"queue_full", LS_FIELD(DroppedQueueFull)},
        {"open_failed", LS_FIELD(OpenFailed)},
        {"write_failed", LS_FIELD(WriteFailed)},
        {"invalid_record", LS_FIELD(InvalidRecords)}}},
      {"logserver_dropped_bytes_total",
       "Bytes dropped, by reason: not_tpkt counts bytes on the TPKT port that are no TPKT frame "
       "(a syslog forwarder pointed at it, for example).",
       MetricType::Counter, "reason", {{"not_tpkt", LS_FIELD(NotTpktBytes)}}},
      {"logserver_udp_kernel_drops_total",
       "Datagrams the kernel dropped on the syslog socket for want of room "
       "(SO_RXQ_OVFL, as of the last datagram read).",
       MetricType::Counter, "", {{"", LS_FIELD(KernelDrops)}}},
      {"logserver_udp_receive_buffer_bytes", "The syslog socket's receive buffer as the kernel reports it.",
       MetricType::Gauge, "", {{"", LS_FIELD(ReceiveBufferBytes)}}},
      {"logserver_overflowed_messages_total",
       "Messages written to their sender's overflow file because their new route would have "
       "created files or directories beyond the sender's budget.",
       MetricType::Counter, "", {{"", LS_FIELD(Overflowed)}}},
      {"logserver_senders_forgotten_total",
       "Senders (address and port) whose routes were forgotten: idle when silent too long, "
       "bound when more were remembered than allowed.",
       MetricType::Counter, "reason", {{"idle", LS_FIELD(ForgottenIdle)}, {"bound", LS_FIELD(ForgottenBound)}}},
      {"logserver_connections", "Clients connected now, per intake.", MetricType::Gauge, "intake",
       {{"tpkt", ConnectionsOf<ikTpkt>},
        {"syslog_tcp", ConnectionsOf<ikSyslogTcp>},
        {"syslog_tls", ConnectionsOf<ikSyslogTls>}}},
      {"logserver_tpkt_refused_per_address_total",
       "TPKT connections closed at once because their address held [Tpkt] MaxConnectionsPerAddress connections.",
       MetricType::Counter, "", {{"", LS_FIELD(TpktRefusedPerAddress)}}},
      {"logserver_tpkt_idle_closed_total", "TPKT connections closed after [Tpkt] IdleSeconds without a byte.",
       MetricType::Counter, "", {{"", LS_FIELD(TpktClosedIdle)}}},
      {"logserver_unfinished_bytes",
       "Bytes held now for messages begun and not ended, on every stream connection together.",
       MetricType::Gauge, "", {{"", LS_FIELD(UnfinishedBytes)}}},
      {"logserver_stalled_closed_total",
       "Stream connections closed because they stopped inside a message while unfinished messages held "
       "more than [Senders] MaxUnfinishedBytes.",
       MetricType::Counter, "", {{"", LS_FIELD(ClosedStalled)}}},
      {"logserver_rate_limited_messages_total",
       "Messages of senders over [Senders] MessagesPerSecond or BytesPerSecond: read later on stream intakes "
       "(nothing lost), dropped on UDP.",
       MetricType::Counter, "intake",
       {{"tpkt", RateLimitedOf<ikTpkt>}, {"udp", RateLimitedOf<ikUdp>},
        {"syslog_tcp", RateLimitedOf<ikSyslogTcp>}, {"syslog_tls", RateLimitedOf<ikSyslogTls>}}},
      {"logserver_rate_limited_senders", "Sender addresses over their rate limit now (or within the last 10 s).",
       MetricType::Gauge, "", {{"", LS_FIELD(RateLimitedSenders)}}},
      {"logserver_config_reloads_total", "Configuration reloads at SIGHUP, applied or refused (nothing changed).",
       MetricType::Counter, "result", {{"applied", LS_FIELD(ReloadsApplied)}, {"refused", LS_FIELD(ReloadsRefused)}}},
      {"logserver_config_last_reload_success", "1 when the last configuration reload was applied (or none came), 0 when it was refused.",
       MetricType::Gauge, "", {{"", LS_FIELD(LastReloadSucceeded)}}},
      {"logserver_config_last_reload_timestamp_seconds", "When the last configuration reload came (Unix seconds; 0: none yet).",
       MetricType::Gauge, "", {{"", LS_FIELD(LastReloadAt)}}},
      {"logserver_syslog_tcp_framing_errors_total",
       "Syslog TCP connections closed because their framing was broken.", MetricType::Counter, "",
       {{"", LS_FIELD(FramingErrors)}}, SyslogTcpOn},
      {"logserver_syslog_tcp_refused_connections_total",
       "Syslog TCP connections closed at once, beyond [Syslog] MaxConnections.", MetricType::Counter, "",
       {{"", LS_FIELD(RefusedConnections)}}, SyslogTcpOn},
      {"logserver_syslog_tcp_refused_per_address_total",
       "Syslog TCP and TLS connections closed at once because their address held [Senders] "
       "MaxConnectionsPerAddress connections or MaxHandshakesPerAddress unfinished TLS handshakes.",
       MetricType::Counter, "", {{"", LS_FIELD(RefusedPerAddress)}}, SyslogTcpOn},
      {"logserver_syslog_tcp_idle_closed_total",
       "Syslog TCP and TLS connections closed after [Syslog] IdleSeconds without a byte.", MetricType::Counter,
       "", {{"", LS_FIELD(ClosedIdle)}}, SyslogTcpOn},
      {"logserver_syslog_tls_failed_handshakes_total", "TLS handshakes that failed or did not finish within 10 s.",
       MetricType::Counter, "", {{"", LS_FIELD(FailedHandshakes)}}, SyslogTcpOn},
      {"logserver_syslog_tcp_cut_messages_total", "Syslog TCP messages longer than 8192 bytes, stored cut to that.",
       MetricType::Counter, "", {{"", LS_FIELD(CutMessages)}}, SyslogTcpOn},
      {"logserver_stream_acknowledged_messages_total", "Messages the stream has acknowledged (forwarded).",
       MetricType::Counter, "", {{"", LS_FIELD(Stream.Acknowledged)}}, StreamOn},
      {"logserver_stream_resent_messages_total", "Messages sent to the stream again (time-out, refusal, broken link).",
       MetricType::Counter, "", {{"", LS_FIELD(Stream.Resent)}}, StreamOn},
      {"logserver_stream_spooled_messages_total",
       "Messages written ahead into the spool (every message, before it is published).", MetricType::Counter, "",
       {{"", LS_FIELD(Stream.Spooled)}}, StreamOn},
      {"logserver_stream_published_batches_total",
       "Stream messages published, each a batch of one route's messages (resent ones again).",
       MetricType::Counter, "", {{"", LS_FIELD(Stream.PublishedBatches)}}, StreamOn},
      {"logserver_stream_dropped_messages_total", "Messages not forwarded, by reason.", MetricType::Counter,
       "reason", {{"window_full", LS_FIELD(Stream.DroppedWindowFull)}, {"spool_full", LS_FIELD(Stream.DroppedSpoolFull)}},
       StreamOn},
      {"logserver_stream_window_messages", "Messages not yet acknowledged.", MetricType::Gauge, "",
       {{"", LS_FIELD(Stream.Window)}}, StreamOn},
      {"logserver_stream_spool_bytes", "Bytes in the spool.", MetricType::Gauge, "",
       {{"", LS_FIELD(Stream.SpoolBytes)}}, StreamOn},
      {"logserver_stream_link_up", "1 while the stream takes messages.", MetricType::Gauge, "",
       {{"", LS_FIELD(Stream.LinkUp ? 1 : 0)}}, StreamOn},
      {"logserver_open_files", "Log files open now.", MetricType::Gauge, "", {{"", LS_FIELD(OpenFiles)}}},
      {"logserver_queued_elements", "Elements in the log queue (a TCP element holds a read's messages).",
       MetricType::Gauge, "", {{"", LS_FIELD(QueuedElements)}}},
      {"logserver_queued_bytes", "Bytes the log queue's elements cost: their buffers and 160 bytes each.",
       MetricType::Gauge, "", {{"", LS_FIELD(QueuedBytes)}}},
      {"logserver_pending_write_bytes", "Bytes of lines waiting to be written with later ones of their file.",
       MetricType::Gauge, "", {{"", LS_FIELD(PendingWriteBytes)}}},
  };
  return rows;
}
#undef LS_FIELD

}  // namespace

class TMetricsEndpoint::TCollector {
 public:
  explicit TCollector(const TReportSources& sources) : Sources(sources), StartTime(ProcessStartTime()) {}

  std::vector<MetricFamily> Collect() const {
    std::vector<MetricFamily> families;
    const TReportSources& s = Sources;
    const TServiceCounters counters = TakeCounters(s);
    for (const TMetricRow& row : MetricRows()) {
      if (row.Shown != nullptr && !row.Shown(counters)) continue;
      MetricFamily family = Family(row.Name, row.Help, row.Type);
      for (const auto& [label, value] : row.Samples)
        Add(family, value(counters),
            *row.Label != '\0' ? std::vector<ClientMetric::Label>{{row.Label, label}} : std::vector<ClientMetric::Label>{});
      families.push_back(std::move(family));
    }
    if (counters.StreamOn)
      families.push_back(Histogram("logserver_stream_batch_bytes", "Size of the stream messages published.",
                                   s.Stream->BatchSizes()));
    MetricFamily backlog =
        Family("logserver_provider_backlog_messages",
               "Messages waiting for a provider library, per [Providers] entry.", MetricType::Gauge);
    if (s.Producers)
      for (const auto& [key, queuedTasks] : s.Producers->ProviderBacklogs())
        Add(backlog, static_cast<double>(queuedTasks), {{"provider", key}});
    families.push_back(std::move(backlog));

    if (s.Producers) {
      families.push_back(Histogram("logserver_write_delay_seconds",
                                   "Time from a message's arrival to the write of its line (per "
                                   "write, its oldest line's time for each of its lines).",
                                   s.Producers->Files().WriteDelays()));
      families.push_back(Histogram("logserver_write_batch_seconds",
                                   "Time the writer spent writing one batch's lines.",
                                   s.Producers->Files().BatchWrites()));
    }

    MetricFamily build = Family("logserver_build_info", "The version running; always 1.", MetricType::Gauge);
    Add(build, 1.0, {{"version", ServiceVersion()}});
    families.push_back(std::move(build));
    Single(families, "process_start_time_seconds", "Start time of the process since unix epoch in seconds.",
           MetricType::Gauge, StartTime);
    const TProcessUsage usage = ReadProcessUsage();
    Single(families, "process_cpu_seconds_total", "Total user and system CPU time spent in seconds.",
           MetricType::Counter, usage.CpuSeconds);
    Single(families, "process_resident_memory_bytes", "Resident memory size in bytes.", MetricType::Gauge,
           static_cast<double>(usage.ResidentBytes));
    Single(families, "process_open_fds", "Number of open file descriptors.", MetricType::Gauge,
           static_cast<double>(usage.OpenDescriptors));
    Single(families, "process_max_fds", "Maximum number of open file descriptors.", MetricType::Gauge,
           static_cast<double>(usage.MaxDescriptors));
    return families;
  }

 private:
  const TReportSources Sources;
  const double StartTime;
};

TMetricsEndpoint::TMetricsEndpoint(const std::string& listen, const TReportSources& sources)
    : Collector(std::make_unique<TCollector>(sources)),
      Server(std::make_unique<TMetricsServer>(
          listen, [this] { return prometheus::TextSerializer().Serialize(Collector->Collect()); })) {}

TMetricsEndpoint::~TMetricsEndpoint() {
  // The server goes first: its threads use the collector.
  Server.reset();
}

int TMetricsEndpoint::Port() const { return Server->Port(); }

}  // namespace logserver
