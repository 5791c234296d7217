#include "platform/uMetricsServer.h"

#include "platform/uProcess.h"

#include <CivetServer.h>

#include <cstring>
#include <stdexcept>
#include <vector>

namespace logserver {

namespace {

// "address:port" as civetweb binds it: a bare ":port" means loopback.
std::string BindAddress(const std::string& listen) {
  return !listen.empty() && listen.front() == ':' ? "127.0.0.1" + listen : listen;
}

}  // namespace

// Answers GET /metrics with a fresh rendering, and every other path with
// 404. Other methods are not handled, which civetweb answers with 404 too
// (it serves no documents).
class TMetricsServer::THandler : public CivetHandler {
 public:
  explicit THandler(TRender render) : Render(std::move(render)) {}

  bool handleGet(CivetServer*, mg_connection* connection) override {
    const mg_request_info* request = mg_get_request_info(connection);
    if (request == nullptr || request->local_uri == nullptr || std::strcmp(request->local_uri, "/metrics") != 0) {
      mg_send_http_error(connection, 404, "%s", "Not Found");
      return true;
    }
    const std::string body = Render();
    mg_printf(connection,
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
              "Content-Length: %zu\r\nConnection: close\r\n\r\n",
              body.size());
    mg_write(connection, body.data(), body.size());
    return true;
  }

 private:
  const TRender Render;
};

TMetricsServer::TMetricsServer(const std::string& listen, TRender render)
    : Handler(std::make_unique<THandler>(std::move(render))) {
  // The server's threads must not take the service's signals: they are
  // made while the calling thread blocks them, and keep that mask. A
  // request that has not arrived whole within 1 s (civetweb counts from its
  // first byte, not per read) is dropped, and there are workers enough
  // (each idle one costs a stack that is never touched) that a hundred
  // clients dribbling their headers leave Prometheus a free one.
  const TServiceSignalsBlocked blocked;
  const std::vector<std::string> options{"listening_ports", BindAddress(listen), "num_threads", "128",
                                         "request_timeout_ms", "1000"};
  try {
    Server = std::make_unique<CivetServer>(options);
  } catch (const std::exception& error) {
    throw std::runtime_error("metrics cannot listen on " + listen + ": " + error.what());
  }
  Server->addHandler("/", Handler.get());
}

TMetricsServer::~TMetricsServer() {
  // The server goes first: its threads use the handler.
  Server.reset();
}

int TMetricsServer::Port() const {
  const std::vector<int> ports = Server->getListeningPorts();
  return ports.empty() ? 0 : ports.front();
}

}  // namespace logserver
