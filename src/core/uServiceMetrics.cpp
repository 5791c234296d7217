#include "core/uServiceMetrics.h"

#include "core/uMainThread.h"
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

}  // namespace

class TMetricsEndpoint::TCollector {
 public:
  explicit TCollector(const TReportSources& sources) : Sources(sources), StartTime(ProcessStartTime()) {}

  std::vector<MetricFamily> Collect() const {
    std::vector<MetricFamily> families;
    const TReportSources& s = Sources;

    MetricFamily received =
        Family("logserver_received_messages_total", "Messages taken in, per intake.", MetricType::Counter);
    MetricFamily receivedBytes = Family("logserver_received_bytes_total",
                                        "Bytes of the messages taken in, per intake.", MetricType::Counter);
    if (s.Intake) {
      Add(received, static_cast<double>(s.Intake->ReceivedTcp()), {{"intake", "tpkt"}});
      Add(received, static_cast<double>(s.Intake->ReceivedUdp()), {{"intake", "udp"}});
      Add(receivedBytes, static_cast<double>(s.Intake->ReceivedTcpBytes()), {{"intake", "tpkt"}});
      Add(receivedBytes, static_cast<double>(s.Intake->ReceivedUdpBytes()), {{"intake", "udp"}});
    }
    if (s.SyslogTcpCounters) {
      Add(received, static_cast<double>(s.SyslogTcpCounters->Messages.load()), {{"intake", "syslog_tcp"}});
      Add(receivedBytes, static_cast<double>(s.SyslogTcpCounters->Bytes.load()), {{"intake", "syslog_tcp"}});
      Add(received, static_cast<double>(s.SyslogTcpCounters->TlsMessages.load()), {{"intake", "syslog_tls"}});
      Add(receivedBytes, static_cast<double>(s.SyslogTcpCounters->TlsBytes.load()), {{"intake", "syslog_tls"}});
    }
    families.push_back(std::move(received));
    families.push_back(std::move(receivedBytes));

    const TLogFileTable::TCounts files = s.Producers ? s.Producers->FileCounts() : TLogFileTable::TCounts{};
    Single(families, "logserver_written_lines_total",
           "Lines written to the log files (the service's own excluded).", MetricType::Counter,
           static_cast<double>(files.Written));
    Single(families, "logserver_written_bytes_total", "Bytes of the lines written to the log files.",
           MetricType::Counter, static_cast<double>(files.WrittenBytes));
    Single(families, "logserver_file_writes_total",
           "write() calls on the log files (group commit shows here).", MetricType::Counter,
           static_cast<double>(files.Writes));
    Single(families, "logserver_provider_messages_total", "Messages handed to provider libraries.",
           MetricType::Counter, s.Producers ? static_cast<double>(s.Producers->ClaimedByProviders()) : 0.0);

    MetricFamily dropped =
        Family("logserver_dropped_messages_total", "Messages lost, by reason.", MetricType::Counter);
    Add(dropped, s.Intake ? static_cast<double>(s.Intake->DroppedDatagrams()) : 0.0,
        {{"reason", "queue_full"}});
    Add(dropped, static_cast<double>(files.OpenFailed), {{"reason", "open_failed"}});
    Add(dropped, static_cast<double>(files.WriteFailed), {{"reason", "write_failed"}});
    Add(dropped, s.Dispatch ? static_cast<double>(s.Dispatch->InvalidRecords()) : 0.0,
        {{"reason", "invalid_record"}});
    families.push_back(std::move(dropped));
    MetricFamily unframed =
        Family("logserver_dropped_bytes_total",
               "Bytes dropped, by reason: not_tpkt counts bytes on the TPKT port that are no TPKT frame "
               "(a syslog forwarder pointed at it, for example).",
               MetricType::Counter);
    Add(unframed, s.TcpCounters ? static_cast<double>(s.TcpCounters->UnframedBytes.load()) : 0.0,
        {{"reason", "not_tpkt"}});
    families.push_back(std::move(unframed));

    Single(families, "logserver_udp_kernel_drops_total",
           "Datagrams the kernel dropped on the syslog socket for want of room "
           "(SO_RXQ_OVFL, as of the last datagram read).",
           MetricType::Counter, s.UdpCounters ? static_cast<double>(s.UdpCounters->KernelDrops.load()) : 0.0);
    Single(families, "logserver_udp_receive_buffer_bytes",
           "The syslog socket's receive buffer as the kernel reports it.", MetricType::Gauge,
           s.UdpCounters ? static_cast<double>(s.UdpCounters->ReceiveBufferBytes.load()) : 0.0);

    Single(families, "logserver_overflowed_messages_total",
           "Messages written to their sender's overflow file because their new route would have "
           "created files or directories beyond the sender's budget.",
           MetricType::Counter, s.Producers ? static_cast<double>(s.Producers->Overflowed()) : 0.0);
    MetricFamily forgotten =
        Family("logserver_senders_forgotten_total",
               "Senders (address and port) whose routes were forgotten: idle when silent too long, "
               "bound when more were remembered than allowed.",
               MetricType::Counter);
    Add(forgotten, s.Producers ? static_cast<double>(s.Producers->PeersForgottenIdle()) : 0.0,
        {{"reason", "idle"}});
    Add(forgotten, s.Producers ? static_cast<double>(s.Producers->PeersForgottenEarly()) : 0.0,
        {{"reason", "bound"}});
    families.push_back(std::move(forgotten));

    MetricFamily connections =
        Family("logserver_connections", "Clients connected now, per intake.", MetricType::Gauge);
    Add(connections, s.Intake ? static_cast<double>(s.Intake->TcpConnections()) : 0.0, {{"intake", "tpkt"}});
    if (s.SyslogTcpCounters) {
      Add(connections, static_cast<double>(s.SyslogTcpCounters->Connections.load()),
          {{"intake", "syslog_tcp"}});
      Single(families, "logserver_syslog_tcp_framing_errors_total",
             "Syslog TCP connections closed because their framing was broken.", MetricType::Counter,
             static_cast<double>(s.SyslogTcpCounters->FramingErrors.load()));
      Single(families, "logserver_syslog_tcp_refused_connections_total",
             "Syslog TCP connections closed at once, beyond [Syslog] MaxConnections.", MetricType::Counter,
             static_cast<double>(s.SyslogTcpCounters->Refused.load()));
      Single(families, "logserver_syslog_tls_failed_handshakes_total",
             "TLS handshakes that failed or did not finish within 10 s.", MetricType::Counter,
             static_cast<double>(s.SyslogTcpCounters->FailedHandshakes.load()));
      Single(families, "logserver_syslog_tcp_cut_messages_total",
             "Syslog TCP messages longer than 8192 bytes, stored cut to that.", MetricType::Counter,
             static_cast<double>(s.SyslogTcpCounters->CutMessages.load()));
    }
    families.push_back(std::move(connections));
    if (s.Stream) {
      const TStreamCounts c = s.Stream->Counts();
      Single(families, "logserver_stream_acknowledged_messages_total",
             "Messages the stream has acknowledged (forwarded).", MetricType::Counter,
             static_cast<double>(c.Acknowledged));
      Single(families, "logserver_stream_resent_messages_total",
             "Messages sent to the stream again (time-out, refusal, broken link).",
             MetricType::Counter, static_cast<double>(c.Resent));
      Single(families, "logserver_stream_spooled_messages_total",
             "Messages written ahead into the spool (every message, before it is published).",
             MetricType::Counter, static_cast<double>(c.Spooled));
      Single(families, "logserver_stream_published_batches_total",
             "Stream messages published, each a batch of one route's messages (resent ones again).",
             MetricType::Counter, static_cast<double>(c.PublishedBatches));
      families.push_back(Histogram("logserver_stream_batch_bytes", "Size of the stream messages published.",
                                   s.Stream->BatchSizes()));
      MetricFamily lost = Family("logserver_stream_dropped_messages_total",
                                 "Messages not forwarded, by reason.", MetricType::Counter);
      Add(lost, static_cast<double>(c.DroppedWindowFull), {{"reason", "window_full"}});
      Add(lost, static_cast<double>(c.DroppedSpoolFull), {{"reason", "spool_full"}});
      families.push_back(std::move(lost));
      Single(families, "logserver_stream_window_messages", "Messages not yet acknowledged.",
             MetricType::Gauge, static_cast<double>(c.Window));
      Single(families, "logserver_stream_spool_bytes", "Bytes in the spool.", MetricType::Gauge,
             static_cast<double>(c.SpoolBytes));
      Single(families, "logserver_stream_link_up", "1 while the stream takes messages.",
             MetricType::Gauge, c.LinkUp ? 1.0 : 0.0);
    }
    Single(families, "logserver_open_files", "Log files open now.", MetricType::Gauge,
           s.Producers ? static_cast<double>(s.Producers->OpenFiles()) : 0.0);
    Single(families, "logserver_queued_elements",
           "Elements in the log queue (a TCP element holds a read's messages).", MetricType::Gauge,
           s.Queue ? static_cast<double>(s.Queue->Count()) : 0.0);
    Single(families, "logserver_queued_bytes",
           "Bytes the log queue's elements cost: their buffers and 160 bytes each.", MetricType::Gauge,
           s.Queue ? static_cast<double>(s.Queue->QueuedBytes()) : 0.0);
    Single(families, "logserver_pending_write_bytes",
           "Bytes of lines waiting to be written with later ones of their file.", MetricType::Gauge,
           s.Producers ? static_cast<double>(s.Producers->PendingFileBytes()) : 0.0);
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
