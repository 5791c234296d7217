#include "net/uEventLoop.h"
#include "net/uTCPServerComponent.h"
#include "platform/uSocket.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <mutex>
#include <new>

using namespace logserver;
using testing_support::WaitUntil;

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

// Records every handler call in order, as "event id [size]"; the units of
// a run are recorded one by one.
struct TRecorder {
  std::mutex Lock;
  std::vector<std::string> Recorded;
  std::atomic<int> InHandler{0};
  std::atomic<bool> Overlapped{false};

  void Add(const std::string& e) {
    if (InHandler.fetch_add(1) != 0) Overlapped = true;
    {
      std::lock_guard<std::mutex> g(Lock);
      Recorded.push_back(e);
    }
    --InHandler;
  }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> g(Lock);
    return Recorded;
  }
  std::size_t Count(const std::string& prefix) {
    std::size_t n = 0;
    for (const std::string& e : Events()) n += e.rfind(prefix, 0) == 0;
    return n;
  }
};

// A listener on loopback as the service runs it: data arrives as runs,
// through OnReceiveRun (or, for an owner without a run handler, unit by unit
// through OnReceive).
class ListenerTest : public ::testing::Test {
 protected:
  void Start(TTCPServerType type, bool withDisconnect = true, bool withSend = true,
             bool unitByUnit = false) {
    component.SetTCPServerType(type);
    component.Failures = &failures;
    component.OnConnect = [this](TIPConnection& c) { rec.Add("connect " + std::to_string(c.ClientID)); };
    if (withDisconnect)
      component.OnDisconnect = [this](TIPConnection& c) {
        rec.Add("disconnect " + std::to_string(c.ClientID));
      };
    auto receive = [this](TIPConnection& c, std::size_t n) {
      rec.Add("receive " + std::to_string(c.ClientID) + " " + std::to_string(n));
    };
    if (unitByUnit)
      component.OnReceive = [receive](TIPConnection& c, const char*, std::uint32_t n) { receive(c, n); };
    else
      component.OnReceiveRun = [receive](TIPConnection& c, TUnitRun& run) {
        std::size_t units = 0;
        run.ForEach([&](const char*, std::size_t n) {
          receive(c, n);
          ++units;
        });
        EXPECT_EQ(units, run.Units);  // the count travels with the run
      };
    if (withSend)
      component.OnSend = [this](TIPConnection& c, const char* p, std::uint32_t n) {
        rec.Add("send " + std::to_string(c.ClientID) + " " + std::to_string(n) +
                (p == nullptr ? " null" : ""));
      };
    component.SetIPAddress("127.0.0.1");
    component.SetIPPort(0);
    component.SetActive(true);
    ASSERT_TRUE(WaitUntil([&] { return component.Listener()->ListeningPort() != 0; }));
    port = component.Listener()->ListeningPort();
  }

  TDescriptor Connect() {
    TDescriptor fd = SocketConnect("127.0.0.1", port);
    EXPECT_TRUE(fd.Valid());
    return fd;
  }

  std::string ReadAtLeast(const TDescriptor& fd, std::size_t n, int timeoutMs = 10000) {
    std::string got;
    char buffer[65536];
    bool ended = false;
    WaitUntil(
        [&] {
          // Reads on as long as data keeps coming, without the pause
          // between two checks.
          bool r = false, w = false;
          while (!ended && got.size() < n && SocketWait(fd.Get(), true, false, 50, r, w) > 0 && r) {
            const long k = SocketRead(fd.Get(), buffer, sizeof buffer);
            if (k > 0) got.append(buffer, static_cast<std::size_t>(k));
            ended = k <= 0;
          }
          return ended || got.size() >= n;
        },
        timeoutMs);
    return got;
  }

  TRecorder rec;
  TCaughtFailures failures;
  std::unique_ptr<TEventLoops> loops;  // when a test wants loops of its own; outlives the component
  TTCPServerComponent component;
  std::uint16_t port = 0;
};

}  // namespace

TEST_F(ListenerTest, EventsOfOneConnectionArriveInOrder) {
  Start(&TSimpleTCPServer::Create, true, true, /*unitByUnit=*/true);
  TDescriptor fd = Connect();
  ASSERT_EQ(SocketWrite(fd.Get(), "hello", 5), 5);
  ASSERT_TRUE(WaitUntil([&] { return rec.Count("receive") == 1; }));
  fd.Reset();
  ASSERT_TRUE(WaitUntil([&] { return rec.Count("disconnect") == 1; }));
  EXPECT_EQ(rec.Events(), (std::vector<std::string>{"connect 0", "receive 0 5", "disconnect 0"}));
  EXPECT_TRUE(WaitUntil([&] { return component.Listener()->ConnectionCount() == 0; }));
}

TEST_F(ListenerTest, IdsAreTheSmallestFreeNumberAndAreReused) {
  Start(&TSimpleTCPServer::Create);
  TDescriptor a = Connect();
  ASSERT_TRUE(WaitUntil([&] { return rec.Count("connect") == 1; }));
  TDescriptor b = Connect();
  ASSERT_TRUE(WaitUntil([&] { return rec.Count("connect") == 2; }));
  a.Reset();
  ASSERT_TRUE(WaitUntil([&] { return component.Listener()->ConnectionCount() == 1; }));
  TDescriptor c = Connect();
  ASSERT_TRUE(WaitUntil([&] { return rec.Count("connect") == 3; }));
  EXPECT_EQ(rec.Events()[0], "connect 0");
  EXPECT_EQ(rec.Events()[1], "connect 1");
  EXPECT_EQ(rec.Events().back(), "connect 0");
  EXPECT_TRUE(component.ClientExists(0));
  EXPECT_TRUE(component.ClientExists(1));
  EXPECT_FALSE(component.ClientExists(2));
  b.Reset();
  c.Reset();
}

TEST_F(ListenerTest, ClientThatClosesAtOnceGivesConnectThenDisconnect) {
  // Several loops whatever the machine: a client may end on its loop while
  // the listener's loop is still accepting it.
  loops = std::make_unique<TEventLoops>(4, &failures);
  component.Loops = loops.get();
  Start(&TTPKTTCPServer::Create);
  Connect().Reset();
  ASSERT_TRUE(WaitUntil([&] { return rec.Count("disconnect") == 1; }));
  EXPECT_EQ(rec.Events(), (std::vector<std::string>{"connect 0", "disconnect 0"}));
  for (int i = 0; i < 200; ++i) Connect().Reset();
  ASSERT_TRUE(WaitUntil([&] { return rec.Count("disconnect") == 201; }));
  EXPECT_EQ(rec.Count("connect"), 201u);
}

TEST_F(ListenerTest, LargeSendsGoOutInChunksInOrder) {
  Start(&TSimpleTCPServer::Create);
  TDescriptor fd = Connect();
  ASSERT_TRUE(WaitUntil([&] { return component.ClientExists(0); }));
  std::string data(2 * 65533 + 1000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  component.SendBufferByID(0, data.data(), static_cast<std::uint32_t>(data.size()));
  EXPECT_EQ(ReadAtLeast(fd, data.size()), data);
  ASSERT_TRUE(WaitUntil([&] { return rec.Count("send") == 3; }));
  const auto events = rec.Events();
  EXPECT_EQ(std::vector<std::string>(events.end() - 3, events.end()),
            (std::vector<std::string>{"send 0 65533", "send 0 65533", "send 0 1000"}));
  fd.Reset();
}

TEST_F(ListenerTest, TpktConnectionsFrameOutgoingChunksAndProbes) {
  Start(&TTPKTTCPServer::Create);
  TDescriptor fd = Connect();
  ASSERT_TRUE(WaitUntil([&] { return component.ClientExists(0); }));
  component.ProbeConnections();
  component.SendTextByID(0, "abc");
  const std::string tooLarge(65532, 'x');
  component.SendBufferByID(0, tooLarge.data(), static_cast<std::uint32_t>(tooLarge.size()));
  component.SendToAll(nullptr, 0);  // size 0 is a probe
  EXPECT_EQ(ReadAtLeast(fd, 15), Bytes({3, 0, 0, 4, 3, 0, 0, 7, 'a', 'b', 'c', 3, 0, 0, 4}));
  ASSERT_TRUE(WaitUntil([&] { return rec.Count("send") == 4; }));
  EXPECT_EQ(rec.Count("send 0 0 null"), 2u);
  EXPECT_EQ(rec.Count("send 0 65532"), 1u);  // reported, but nothing written
  fd.Reset();
}

TEST_F(ListenerTest, ChunksWrittenAtOnceOrQueuedUnderAFullSocketStayWholeAndInOrder) {
  // Without a send handler, a sender writes a chunk itself when nothing is
  // ahead of it; a client that reads late fills the socket, so such writes
  // stop part-way and the rest must go out before the chunks queued later.
  Start(&TTPKTTCPServer::Create, true, false);
  TDescriptor fd = Connect();
  ASSERT_TRUE(WaitUntil([&] { return component.ClientExists(0); }));
  // Small buffers on both ends, so that the socket is soon full.
  const int small = 65536;
  ASSERT_EQ(component.Listener()->SetConnectionOption(0, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  ASSERT_EQ(SocketSetOption(fd.Get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
  std::string expected;
  for (int i = 0; i < 120; ++i) {
    const std::size_t size = static_cast<std::size_t>(i % 3 == 0 ? 20000 + i : i % 40);
    std::string data(size, '\0');
    for (std::size_t k = 0; k < size; ++k) data[k] = static_cast<char>(i + k * 13);
    if (size == 0)
      component.ProbeConnections();
    else
      component.SendBufferByID(0, data.data(), static_cast<std::uint32_t>(size));
    const std::size_t length = size + 4;
    expected += Bytes({3, 0, static_cast<int>(length >> 8), static_cast<int>(length & 0xff)}) + data;
  }
  const std::string got = ReadAtLeast(fd, expected.size(), 30000);
  ASSERT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);  // whole frames, in the order sent
  fd.Reset();
}

TEST_F(ListenerTest, SendsToUnknownTargetsDoNothing) {
  Start(&TTPKTTCPServer::Create);
  component.SendBufferByID(5, "x", 1);
  component.SendToAll("x", 1);
  component.ProbeConnections();
  component.DisconnectClient(7);
  component.SendToIP("127.0.0.1", port, "x", 1);
  EXPECT_EQ(component.SetClientOption(3, 0, 0, nullptr, 0), -2);
  TDescriptor fd = Connect();
  ASSERT_TRUE(WaitUntil([&] { return component.ClientExists(0); }));
  TIPConnection* gone = component.Listener()->GetConnection(0);
  fd.Reset();
  ASSERT_TRUE(WaitUntil([&] { return !component.ClientExists(0); }));
  component.SendBuffer(gone, "x", 1);  // a removed connection object is not touched
  EXPECT_EQ(rec.Count("send"), 0u);
}

TEST_F(ListenerTest, WithoutDisconnectHandlerEndedConnectionsStayRegistered) {
  Start(&TSimpleTCPServer::Create, /*withDisconnect=*/false);
  Connect().Reset();
  ASSERT_TRUE(WaitUntil([&] { return rec.Count("connect") == 1; }));
  TDescriptor second = Connect();
  ASSERT_TRUE(WaitUntil([&] { return rec.Count("connect") == 2; }));
  EXPECT_EQ(rec.Events()[1], "connect 1");
  EXPECT_EQ(component.Listener()->ConnectionCount(), 2u);
  second.Reset();
}

TEST_F(ListenerTest, HandlersNeverOverlapAcrossConnections) {
  Start(&TTPKTTCPServer::Create);
  std::vector<TDescriptor> fds;
  for (int i = 0; i < 10; ++i) fds.push_back(Connect());
  const std::string frame = Bytes({3, 0, 0, 6, 'o', 'k'});
  for (int round = 0; round < 20; ++round)
    for (TDescriptor& fd : fds) ASSERT_EQ(SocketWrite(fd.Get(), frame.data(), frame.size()), 6);
  ASSERT_TRUE(WaitUntil([&] { return rec.Count("receive") == 200; }));
  for (TDescriptor& fd : fds) fd.Reset();
  ASSERT_TRUE(WaitUntil([&] { return rec.Count("disconnect") == 10; }));
  EXPECT_FALSE(rec.Overlapped.load());
  // Per connection: connect first, disconnect last.
  for (int id = 0; id < 10; ++id) {
    std::vector<std::string> mine;
    for (const std::string& e : rec.Events()) {
      const std::string tail = e.substr(e.find(' ') + 1);
      if (tail.substr(0, tail.find(' ')) == std::to_string(id)) mine.push_back(e);
    }
    ASSERT_EQ(mine.size(), 22u);
    EXPECT_EQ(mine.front(), "connect " + std::to_string(id));
    EXPECT_EQ(mine.back(), "disconnect " + std::to_string(id));
  }
}

TEST_F(ListenerTest, StoppingWithConnectedClientsClosesThem) {
  Start(&TTPKTTCPServer::Create);
  std::vector<TDescriptor> fds;
  for (int i = 0; i < 20; ++i) fds.push_back(Connect());
  ASSERT_TRUE(WaitUntil([&] { return component.Listener()->ConnectionCount() == 20; }));
  component.SetActive(false);
  EXPECT_FALSE(component.GetActive());
  for (TDescriptor& fd : fds) {
    EXPECT_EQ(ReadAtLeast(fd, 1, 2000), "");  // end of stream, nothing else
    fd.Reset();
  }
  EXPECT_EQ(rec.Count("disconnect"), 0u);  // stopped connections raise nothing
}

TEST_F(ListenerTest, AHandlerThatThrowsIsCountedAndDeliveryGoesOn) {
  component.OnConnect = nullptr;
  Start(&TTPKTTCPServer::Create);
  // Replaced before any client comes: every connect fails in its handler.
  component.SetActive(false);
  component.OnConnect = [](TIPConnection&) { throw std::bad_alloc(); };
  component.SetActive(true);
  ASSERT_TRUE(WaitUntil([&] { return component.Listener()->ListeningPort() != 0; }));
  port = component.Listener()->ListeningPort();
  TDescriptor fd = Connect();
  const std::string frame = Bytes({3, 0, 0, 6, 'o', 'k'});
  ASSERT_EQ(SocketWrite(fd.Get(), frame.data(), frame.size()), 6);
  ASSERT_TRUE(WaitUntil([&] { return rec.Count("receive") == 1; }));
  EXPECT_EQ(failures.Total(), 1u);
  TCaughtFailures::TReport report;
  ASSERT_TRUE(failures.Take(report));
  EXPECT_EQ(report.Last, "tcp handler: std::bad_alloc");
  fd.Reset();
}

TEST(AddressListTest, PrefixesMatchTheirBitsOnlyAndABadEntryRefusesTheList) {
  TAddressList list;
  ASSERT_TRUE(list.Parse("10.1.0.0/15, 192.0.2.7 fd00::/9\t::1"));
  auto contains = [&](const char* text) {
    TSocketAddress address;
    EXPECT_TRUE(ParseAddress(text, address)) << text;
    return list.Contains(address);
  };
  EXPECT_TRUE(contains("10.0.255.1"));
  EXPECT_TRUE(contains("10.1.0.0"));
  EXPECT_FALSE(contains("10.2.0.0"));
  EXPECT_TRUE(contains("192.0.2.7"));
  EXPECT_FALSE(contains("192.0.2.8"));
  EXPECT_TRUE(contains("fd7f::1"));
  EXPECT_FALSE(contains("fd80::1"));
  EXPECT_TRUE(contains("::1"));
  EXPECT_FALSE(contains("::2"));
  for (const char* bad : {"10.0.0.0/33", "10.0.0.0/", "host.example", "::1/129", "1.2.3.4/8x"}) {
    std::string named;
    EXPECT_FALSE(list.Parse(std::string("127.0.0.1 ") + bad, &named)) << bad;
    EXPECT_EQ(named, bad);
    EXPECT_TRUE(list.Empty());
  }
}
