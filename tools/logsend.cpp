// logsend: sends client log messages to a running LogServer.
//
//   logsend HOST PORT APPLICATION MODULE PREFIX [TEXT...]
//
// With TEXT, the words joined by blanks are one message; without, every line
// of standard input is one message. The event time is the local time of
// sending. Exit status 0 when everything was sent and the service has read
// it, 1 otherwise.
#include "core/uLogClient.h"
#include "platform/uTime.h"

#include <cstdlib>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
  using namespace logserver;
  if (argc < 6) {
    std::cerr << "usage: logsend HOST PORT APPLICATION MODULE PREFIX [TEXT...]\n"
                 "  Without TEXT every line of standard input is sent as one message.\n";
    return 2;
  }
  char* end = nullptr;
  const long port = std::strtol(argv[2], &end, 10);
  if (end == argv[2] || *end != '\0' || port <= 0 || port > 65535) {
    std::cerr << "logsend: bad port: " << argv[2] << "\n";
    return 2;
  }
  TLogClient client;
  if (!client.Connect(argv[1], static_cast<std::uint16_t>(port))) {
    std::cerr << "logsend: cannot connect to " << argv[1] << ":" << port << "\n";
    return 1;
  }
  tClientLogMessage message;
  message.ApplicationName = argv[3];
  message.ModuleName = argv[4];
  message.FilePrefix = argv[5];
  bool ok = true;
  auto send = [&](const std::string& text) {
    message.Text = text;
    message.EventTime = Now();
    ok = ok && client.Send(message);
  };
  if (argc > 6) {
    std::string text = argv[6];
    for (int i = 7; i < argc; ++i) text += std::string(" ") + argv[i];
    send(text);
  } else {
    std::string line;
    while (ok && std::getline(std::cin, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      send(line);
    }
  }
  if (!ok || !client.Finish(10000)) {
    std::cerr << "logsend: the connection failed before everything was delivered\n";
    return 1;
  }
  return 0;
}
