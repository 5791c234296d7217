#include "net/uIPServer.h"
#include "net/uTCPServer.h"
#include "platform/uSocket.h"
#include "support/TempDir.h"

#include "platform/uUnitRun.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <mutex>
#include <random>

using namespace logserver;
using testing_support::WaitUntil;

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

// Feeds bytes to a TPKT filter the way a connection does and collects units.
class TpktFixture : public ::testing::Test {
 protected:
  std::vector<std::string> Feed(const std::string& bytes) {
    std::vector<std::string> units;
    bool more = false;
    std::string unit = filter->Decode(bytes.data(), static_cast<int>(bytes.size()), more);
    if (!unit.empty()) units.push_back(unit);
    int guard = 0;
    while (more) {
      unit = filter->Decode(nullptr, 0, more);
      if (!unit.empty()) units.push_back(unit);
      if (++guard > 100000) ADD_FAILURE() << "Decode makes no progress";
      if (guard > 100000) break;
    }
    return units;
  }
  std::unique_ptr<tEmptyReceiveFilter> filter = tTPKTReceiveFilter::Create();
  tTPKTReceiveFilter& tpkt() { return static_cast<tTPKTReceiveFilter&>(*filter); }
};

using V = std::vector<std::string>;

}  // namespace

TEST_F(TpktFixture, EncodeWrapsAChunkInAHeader) {
  EXPECT_EQ(filter->Encode("abc", 3), Bytes({3, 0, 0, 7, 'a', 'b', 'c'}));
  EXPECT_EQ(filter->Encode(nullptr, 0), Bytes({3, 0, 0, 4}));
  EXPECT_EQ(filter->Encode("x", -1), "");
}

TEST_F(TpktFixture, EncodeHonoursThe65535Limit) {
  const std::string largest(65531, 'z');
  const std::string frame = filter->Encode(largest.data(), 65531);
  ASSERT_EQ(frame.size(), 65535u);
  EXPECT_EQ(frame.substr(0, 4), Bytes({3, 0, 0xff, 0xff}));
  const std::string tooLarge(65532, 'z');
  EXPECT_EQ(filter->Encode(tooLarge.data(), 65532), "");
  EXPECT_EQ(Feed(frame), V{largest});
}

TEST_F(TpktFixture, TwoFramesInOneReadComeOutOneByOne) {
  const std::string read = Bytes({3, 0, 0, 7, 'a', 'b', 'c', 3, 0, 0, 5, 'd'});
  bool more = false;
  EXPECT_EQ(filter->Decode(read.data(), static_cast<int>(read.size()), more), "abc");
  EXPECT_TRUE(more);
  EXPECT_EQ(filter->Decode(nullptr, 0, more), "d");
  EXPECT_FALSE(more);
}

TEST_F(TpktFixture, AHeaderSplitOverTwoReadsWaitsForTheRest) {
  EXPECT_EQ(Feed(Bytes({3, 0})), V{});
  EXPECT_EQ(filter->BytesNeeded(), 2);
  EXPECT_EQ(Feed(Bytes({0, 6, 'h', 'i'})), V{"hi"});
}

TEST_F(TpktFixture, HeaderOnlyFramesYieldNothing) {
  EXPECT_EQ(Feed(Bytes({3, 0, 0, 4, 3, 0, 0, 5, 'x'})), V{"x"});
}

TEST_F(TpktFixture, GarbageIsSkippedTwoBytesAtATime) {
  EXPECT_EQ(Feed(Bytes({9, 9, 0, 3, 3, 0, 0, 5, 'k'})), V{"k"});
  // An odd number of garbage bytes puts the frame at an odd position.
  EXPECT_EQ(Feed(Bytes({7, 3, 0, 0, 5, 'q', 3, 0, 0, 5, 'r'})), V{"r"});
}

TEST_F(TpktFixture, LengthsBelowFourAreBadHeadersAndNeverStallDecoding) {
  EXPECT_EQ(Feed(Bytes({3, 0, 0, 0, 3, 0, 0, 2, 3, 0, 0, 1, 3, 0, 0, 5, 'v'})), V{"v"});
  EXPECT_EQ(tpkt().Buffered(), 0u);
}

TEST_F(TpktFixture, LeftoverBytesOfTheNextFrameWait) {
  const std::string read = Bytes({3, 0, 0, 5, 'a', 3, 0, 0});
  bool more = true;
  EXPECT_EQ(filter->Decode(read.data(), static_cast<int>(read.size()), more), "a");
  EXPECT_FALSE(more);
  EXPECT_EQ(tpkt().Buffered(), 3u);
  EXPECT_EQ(filter->BytesNeeded(), 1);
  EXPECT_EQ(Feed(Bytes({6, 'b', 'c'})), V{"bc"});
}

TEST_F(TpktFixture, AnyCuttingOfAStreamGivesTheSameUnitsByEveryWayOfDecoding) {
  std::mt19937 random(12345);
  std::string stream;
  V expected;
  for (int i = 0; i < 120; ++i) {
    const std::string payload(random() % 3000 + (i % 7 == 0 ? 60000 : 1), static_cast<char>('a' + i % 26));
    expected.push_back(payload);
    stream += filter->Encode(payload.data(), static_cast<int>(payload.size()));
    if (i % 5 == 0) stream += Bytes({3, 0, 0, 4});
    if (i % 11 == 0) stream += Bytes({9, 9, 3, 0, 0, 1});  // garbage to skip
  }
  // Decode unit by unit, and DecodeRun in place, each with reads cut at
  // random.
  V units, inPlace;
  auto reading = tTPKTReceiveFilter::Create();
  auto unpack = [](const std::string& run, V& into) {
    ForEachUnit(run, [&](const char* p, std::size_t n) { into.emplace_back(p, n); });
  };
  std::size_t pos = 0;
  while (pos < stream.size()) {
    const std::size_t piece = std::min<std::size_t>(stream.size() - pos, random() % 65533 + 1);
    const std::string read = stream.substr(pos, piece);
    for (std::string& u : Feed(read)) units.push_back(std::move(u));
    const std::size_t head = reading->HeadRoom();
    std::string buffer(head, '?');
    buffer += read;
    reading->DecodeRun(buffer, head, read.size());
    unpack(buffer, inPlace);
    pos += piece;
  }
  EXPECT_EQ(units, expected);
  EXPECT_EQ(inPlace, expected);
  EXPECT_EQ(tpkt().Buffered(), 0u);
}

TEST(EmptyFilterTest, PassesBytesThroughUnchanged) {
  auto filter = tEmptyReceiveFilter::Create();
  bool more = true;
  EXPECT_EQ(filter->Decode("abc", 3, more), "abc");
  EXPECT_FALSE(more);
  EXPECT_EQ(filter->Encode("xyz", 3), "xyz");
  EXPECT_EQ(filter->Encode(nullptr, 0), "");
  EXPECT_EQ(filter->BytesNeeded(), 65533);
}

// ---------------------------------------------------------------------------
// Listener, connections and delivery on real loopback sockets

namespace {

// Records every handler call in order, as "event id [size]".
struct TRecorder {
  std::mutex lock;
  std::vector<std::string> events;
  std::string received;
  std::atomic<int> inHandler{0};
  std::atomic<bool> overlapped{false};

  void Add(const std::string& e) {
    if (inHandler.fetch_add(1) != 0) overlapped = true;
    {
      std::lock_guard<std::mutex> g(lock);
      events.push_back(e);
    }
    --inHandler;
  }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> g(lock);
    return events;
  }
  std::size_t Count(const std::string& prefix) {
    std::size_t n = 0;
    for (const std::string& e : Events()) n += e.rfind(prefix, 0) == 0;
    return n;
  }
};

class ListenerTest : public ::testing::Test {
 protected:
  void Start(TTCPServerType type, bool withDisconnect = true, bool withSend = true) {
    component.SetTCPServerType(type);
    component.OnConnect = [this](TIPConnection& c) { rec.Add("connect " + std::to_string(c.ClientID)); };
    if (withDisconnect)
      component.OnDisconnect = [this](TIPConnection& c) {
        rec.Add("disconnect " + std::to_string(c.ClientID));
      };
    component.OnReceive = [this](TIPConnection& c, const char* p, std::uint32_t n) {
      {
        std::lock_guard<std::mutex> g(rec.lock);
        rec.received.append(p, n);
      }
      rec.Add("receive " + std::to_string(c.ClientID) + " " + std::to_string(n));
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
  TTCPServerComponent component;
  std::uint16_t port = 0;
};

}  // namespace

TEST_F(ListenerTest, EventsOfOneConnectionArriveInOrder) {
  Start(&TSimpleTCPServer::Create);
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
  Start(&TTPKTTCPServer::Create);
  Connect().Reset();
  ASSERT_TRUE(WaitUntil([&] { return rec.Count("disconnect") == 1; }));
  EXPECT_EQ(rec.Events(), (std::vector<std::string>{"connect 0", "disconnect 0"}));
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
  EXPECT_FALSE(rec.overlapped.load());
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

TEST(TCPComponentTest, DefaultsAndOperationsWithoutAListener) {
  TTCPServerComponent component;
  EXPECT_EQ(component.GetTCPServerType(), &TSimpleTCPServer::Create);
  component.SetTCPServerType(nullptr);
  EXPECT_EQ(component.GetTCPServerType(), &TSimpleTCPServer::Create);
  EXPECT_EQ(component.IPAddress, "");
  EXPECT_EQ(component.IPPort, 0);
  EXPECT_FALSE(component.GetActive());
  int code = 0;
  EXPECT_FALSE(component.WaitForStart(10, code));
  EXPECT_EQ(code, 9);
  EXPECT_EQ(component.SetClientOption(0, 0, 0, nullptr, 0), -2);
  EXPECT_EQ(component.GetListenError(), 0);
  EXPECT_FALSE(component.ClientExists(0));
  component.SetActive(false);
  EXPECT_FALSE(component.GetActive());
}

TEST(TCPComponentTest, APortInUseKeepsTheListenerActiveAndRetrying) {
  TDescriptor blocker = SocketCreateStream();
  ASSERT_TRUE(blocker.Valid());
  SocketSetReuseAddress(blocker.Get());
  ASSERT_EQ(SocketBind(blocker.Get(), ParseIPv4("127.0.0.1"), 0), 0);
  ASSERT_EQ(SocketListen(blocker.Get(), 4), 0);
  const std::uint16_t port = SocketLocalAddress(blocker.Get()).port;

  TTCPServerComponent component;
  component.SetIPAddress("127.0.0.1");
  component.SetIPPort(port);
  component.SetActive(true);
  component.SetActive(true);  // still one listener
  int code = 0;
  EXPECT_TRUE(component.WaitForStart(1000, code));
  EXPECT_EQ(code, 0);
  ASSERT_TRUE(WaitUntil([&] { return component.GetListenFailure() == EADDRINUSE; }));
  EXPECT_TRUE(component.GetActive());
  blocker.Reset();
  ASSERT_TRUE(WaitUntil([&] { return component.Listener()->ListeningPort() == port; }));
  EXPECT_EQ(component.GetListenFailure(), 0);
  TDescriptor fd = SocketConnect("127.0.0.1", port);
  EXPECT_TRUE(fd.Valid());
  EXPECT_TRUE(WaitUntil([&] { return component.ClientExists(0); }));
  fd.Reset();
}
