// The syslog TCP framer fed the way a connection feeds it: the input cut
// into reads (each first byte gives the next read's length) must give the
// very same messages, and the same framing error at the same place, as the
// input fed whole; no message is longer than the limit.
#include "net/uSyslogFramer.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

using namespace logserver;

namespace {

struct TOutcome {
  std::vector<std::string> Messages;
  bool Framed = true;
  std::uint64_t Cut = 0;
  bool operator==(const TOutcome& other) const {
    return Messages == other.Messages && Framed == other.Framed && Cut == other.Cut;
  }
};

TOutcome Frame(const std::vector<std::string>& reads) {
  TSyslogFramer framer;
  TUnitRun run;
  TOutcome outcome;
  for (const std::string& read : reads) {
    outcome.Framed = framer.Feed(read.data(), read.size(), run);
    if (!outcome.Framed) break;
  }
  if (outcome.Framed) outcome.Framed = framer.Finish(run);
  ForEachUnit(run.Bytes.View(), [&](const char* data, std::size_t size) {
    if (size > TSyslogFramer::kMaxMessageBytes) std::abort();
    outcome.Messages.emplace_back(data, size);
  });
  outcome.Cut = framer.CutMessages();
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> reads;
  std::string whole;
  std::size_t pos = 0;
  while (pos < size) {
    const std::size_t want = static_cast<std::size_t>(data[pos++]) % 97 + 1;
    const std::size_t length = want < size - pos ? want : size - pos;
    reads.emplace_back(reinterpret_cast<const char*>(data + pos), length);
    whole.append(reads.back());
    pos += length;
  }
  if (!(Frame(reads) == Frame({whole}))) std::abort();
  return 0;
}
