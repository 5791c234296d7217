#include "core/uSyslogHeader.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using namespace logserver;

TEST(SyslogHeaderTest, TheHostnameIsFoundInBothFormsAndOnlyWhereItCanBeAPathLevel) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"<13>Dec  9 08:00:00 web-1.example.org app: text", "web-1.example.org"},
      {"<13>Dec 19 08:00:00 10.1.2.3 app: text", "10.1.2.3"},
      {"<165>1 2003-10-11T22:14:15.003Z mymachine.example.com evntslog - ID47 - text", "mymachine.example.com"},
      {"<34>1 2003-10-11T22:14:15Z fe80::1 su - - - text", "fe80::1"},
      {"<165>1 2003-10-11T22:14:15.003Z - app - - - nil host", ""},
      {"<13>Dec  9 08:00:00 .. app: dots only", ""},
      {"<13>Dec  9 08:00:00 a/b app: a slash", ""},
      {"<13>Dec  9 08:00:00 " + std::string(256, 'h') + " app: too long", ""},
      {"<13>Dec  9 08:00:00 " + std::string(255, 'h') + " app: long enough", std::string(255, 'h')},
      {"<13>plain text without a header", ""},
      {"no priority", ""},
      {"<1234>Dec  9 08:00:00 host app: a priority too long", ""},
      {"<13>Dec  9 08:00:00", ""},
  };
  for (const auto& [message, expected] : cases) {
    std::string_view found;
    EXPECT_EQ(FindSyslogHostname(message, found), !expected.empty()) << message;
    if (!expected.empty()) {
      EXPECT_EQ(found, expected) << message;
    }
  }
}
