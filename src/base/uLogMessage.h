// One log message as it travels from an intake to its file (and to the
// stream): who sent it, where it goes, its text and its two times. Passed by
// reference from dispatch through the registry, the producers and the
// stream publisher; whoever keeps it copies it.
#pragma once

#include <string>
#include <string_view>

namespace logserver {

struct TLogMessage {
  // The sender's address (or, relayed syslog under PathBy=hostname, the
  // HOSTNAME of its header) and port, in decimal.
  std::string Address;
  std::string Port;
  // The route below the address, and the file prefix (may be empty).
  std::string Application;
  std::string Module;
  std::string Prefix;
  std::string Text;
  // Days since 1899-12-30, as the date-time masks take them: the client's
  // (0 for syslog, which carries none the service reads) and the service's
  // when it took the message in.
  double EventTime = 0.0;
  double ServerTime = 0.0;
};

// Whether `name` can stand for a sender as the first level of its tree: 1
// to 255 bytes of letters, digits, ".", "-", "_" and ":", with at least one
// letter or digit and not starting with "." (so never "." or "..", and no
// level of its own: no "/", no zero byte). Every address the service
// formats passes; so do the host names relayed syslog may name.
bool IsUsableHostName(std::string_view name);

}  // namespace logserver
