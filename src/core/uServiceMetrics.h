// The service's metrics in the Prometheus text format (0.0.4), serialized by
// prometheus-cpp and served by TMetricsServer on [Metrics] Listen.
//
// Scraping costs the message path nothing: the collector reads, when asked,
// the counters the service keeps anyway (relaxed atomics, the file table's
// counts under its lock) and builds the families then. Nothing is
// incremented twice.
//
// Threading: Collect runs on the HTTP server's threads. Everything it reads
// is lent by the service core (the TReportSources the reports read too),
// which starts the endpoint once all of it exists and stops it before any of
// it goes.
#pragma once

#include "core/uServiceReports.h"
#include "platform/uMetricsServer.h"

#include <memory>
#include <string>

namespace logserver {

class TMetricsEndpoint {
 public:
  // Serves /metrics on `listen` ("address:port"; ":port" is loopback).
  // Throws std::runtime_error when the address cannot be bound.
  TMetricsEndpoint(const std::string& listen, const TReportSources& sources);
  // Stops serving; returns once no scrape runs any more.
  ~TMetricsEndpoint();
  TMetricsEndpoint(const TMetricsEndpoint&) = delete;
  TMetricsEndpoint& operator=(const TMetricsEndpoint&) = delete;

  // The port served, for tests that ask for port 0.
  int Port() const;

 private:
  class TCollector;
  std::unique_ptr<TCollector> Collector;
  std::unique_ptr<TMetricsServer> Server;
};

}  // namespace logserver
