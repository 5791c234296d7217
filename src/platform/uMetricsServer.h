// The HTTP side of a /metrics endpoint: civetweb (the server prometheus-cpp's
// own exposer runs) on its own threads, answering GET /metrics with the text
// a renderer makes when asked, every other path with 404. prometheus-cpp's
// exposer itself is not used: it answers every path below its own
// (/metrics/anything) and cannot be told not to.
//
// Threading: the renderer runs on the server's threads; whatever it reads
// must outlive the server. The destructor returns once no request runs.
#pragma once

#include <functional>
#include <memory>
#include <string>

class CivetServer;

namespace logserver {

class TMetricsServer {
 public:
  using TRender = std::function<std::string()>;

  // Serves on `listen` ("address:port"; ":port" is loopback). Throws
  // std::runtime_error when the address cannot be bound.
  TMetricsServer(const std::string& listen, TRender render);
  ~TMetricsServer();
  TMetricsServer(const TMetricsServer&) = delete;
  TMetricsServer& operator=(const TMetricsServer&) = delete;

  // The port served, for tests that ask for port 0.
  int Port() const;

 private:
  class THandler;
  std::unique_ptr<THandler> Handler;
  std::unique_ptr<CivetServer> Server;
};

}  // namespace logserver
