// Routing cost of the producer registry with one live producer and with
// 10,000 (the syslog senders of a busy network), first with producers that
// discard (routing alone), then with real file producers.
//
//   registry_bench [messages]
#include "platform/uTime.h"
#include "producers/uLogProducer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

using namespace logserver;

namespace {

class TDiscardingProducer : public TCustomLogProducer {
 public:
  static PLogProducer Create(const TLogProducerTexts& texts, const TProducerEnvironment&) {
    PLogProducer producer(new TDiscardingProducer(texts));
    producer->Start();
    return producer;
  }
  void AddMessage(const std::string& Text, double, double) override { Sink += Text.size(); }
  static inline std::size_t Sink = 0;

 private:
  explicit TDiscardingProducer(const TLogProducerTexts& texts)
      : TCustomLogProducer(texts, "ls-bench") {}
};

// Nanoseconds per message, best of five rounds.
double Measure(tLogProducerHolder& holder, int messages) {
  const std::string text = "<13>Dec  9 08:00:00 host app: a typical syslog line of some length";
  const double now = Now();
  double best = 1e300;
  for (int round = 0; round < 5; ++round) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < messages; ++i)
      holder.AddMessage(TLogMessage{"10.1.2.3", "514", "SYSLOG", "syslog", "", text, 0.0, now});
    const auto elapsed = std::chrono::steady_clock::now() - start;
    best = std::min(best, std::chrono::duration<double, std::nano>(elapsed).count() / messages);
  }
  return best;
}

void Populate(tLogProducerHolder& holder, int producers) {
  const double now = Now();
  for (int i = 1; i < producers; ++i)
    holder.AddMessage(TLogMessage{"10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250),
                        std::to_string(1024 + i), "SYSLOG", "syslog", "", "x", 0.0, now});
}

void Compare(const char* title, TLogProducerClass producerClass, const std::string& base,
             const TIniEntries& providers, int messages) {
  TLogFileTable files;
  const TProducerEnvironment environment{&files, nullptr};
  tLogProducerHolder one(base, providers, environment, producerClass);
  tLogProducerHolder many(base, providers, environment, producerClass);
  Populate(many, 10000);
  const double a = Measure(one, messages);
  const double b = Measure(many, messages);
  std::printf("%-28s %8.1f ns/message with 1 producer, %8.1f with %zu: %+.1f %%\n", title, a, b,
              many.Entries().size(), (b / a - 1.0) * 100.0);
}

}  // namespace

int main(int argc, char** argv) {
  const int messages = argc > 1 ? std::atoi(argv[1]) : 200000;
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "registry_bench";
  std::filesystem::create_directories(dir);
  const std::string base = dir.string() + "/";
  // Ten provider entries that never match, as a real configuration may hold.
  TIniEntries providers;
  for (int i = 0; i < 10; ++i)
    providers.emplace_back("192.0.2." + std::to_string(i) + "|billing|core|", "provider.so");
  Compare("routing (producers discard)", &TDiscardingProducer::Create, base, providers, messages);
  Compare("routing and file writes", &TFileLogProducer::Create, base, providers, messages / 4);
  std::filesystem::remove_all(dir);
  return 0;
}
