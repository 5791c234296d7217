// The HOSTNAME field of a syslog message, for storing relayed messages by
// the host that made them: RFC 5424 ("<PRI>VERSION SP TIMESTAMP SP
// HOSTNAME SP ...") or RFC 3164 ("<PRI>Mmm dd hh:mm:ss HOSTNAME ...").
#pragma once

#include <string_view>

namespace logserver {

// The host name in `message`, when its header is one of the two forms and
// the name is a usable path level: 1 to 255 bytes of letters, digits, ".",
// "-", "_" and ":", with at least one letter or digit (so never "." or
// ".."). False otherwise, also for RFC 5424's nil "-".
bool FindSyslogHostname(std::string_view message, std::string_view& hostname);

}  // namespace logserver
