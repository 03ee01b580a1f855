// The syslog output against a real rsyslogd: what arrives is compared byte for
// byte with messages written out by hand.

#include <winsock2.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/logging/syslog_output.h"
#include "tests/syslog/rsyslog_server.h"

namespace {

using syslog_test::RsyslogServer;

constexpr SYSTEMTIME kTime = {2026, 3, 6, 7, 4, 5, 6, 789};

std::string LocalHostName() {
  WinSockSession winsock;
  winsock.Start();
  char name[128] = {};
  gethostname(name, sizeof name - 1);
  return name;
}

// A TCP socket bound to a port of 127.0.0.1 the system chooses.
UniqueSocket BindLoopback(sockaddr_in& address) {
  UniqueSocket bound(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(bound.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  int length = sizeof address;
  getsockname(bound.Get(), reinterpret_cast<sockaddr*>(&address), &length);
  return bound;
}

// Connect passes, 10 ms apart, until every target is connected or has
// failed at least once with no connect under way (at most 5 s).
void Settle(SyslogOutput& output) {
  for (int pass = 0; pass < 500; ++pass) {
    output.Connect();
    bool settled = true;
    for (const SyslogTarget& target : output.GetTargets()) {
      settled = settled && !target.connecting && (target.state == 1 || target.lastError != 0);
    }
    if (settled) return;
    Sleep(10);
  }
}

SyslogFields Fields(const char* text, const char* userTag, bool header, int32_t level = 3) {
  return SyslogFields{kTime, 0x1A4, level, 0, text, userTag, 16, header, L"Src"};
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

TEST(SyslogHostsTest, ItemsGiveHostPortAndProtocol) {
  struct Case {
    const char* list;
    std::vector<std::string> hosts;
    std::vector<int> ports;
    std::vector<bool> tcp;
  };
  const Case cases[] = {
      {"10.0.0.5", {"10.0.0.5"}, {514}, {false}},
      {"10.0.0.5:1514/TCP,10.0.0.6", {"10.0.0.5", "10.0.0.6"}, {1514, 514}, {true, false}},
      {" a :12", {" a "}, {12}, {false}},
      {"h:70000/tCp", {"h"}, {4464}, {true}},
      {"h:", {"h"}, {0}, {false}},
      {"h:abc/tcp", {"h"}, {0}, {false}},
      {"h:514 /tcp", {"h"}, {514}, {false}},
      {"h:/tcp", {"h"}, {0}, {true}},
      {"h:99999999999999999999", {"h"}, {65535}, {false}},  // 10^20 - 1 modulo 65536
      {"a,,b", {"a", "b"}, {514, 514}, {false, false}},
      {"", {}, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.list);
    const std::vector<SyslogTarget> targets = ParseSyslogHosts(c.list);
    ASSERT_EQ(targets.size(), c.hosts.size());
    for (size_t i = 0; i < targets.size(); ++i) {
      EXPECT_EQ(targets[i].host, c.hosts[i]);
      EXPECT_EQ(ntohs(targets[i].address.sin_port), c.ports[i]);
      EXPECT_EQ(targets[i].type, c.tcp[i] ? SOCK_STREAM : SOCK_DGRAM);
      EXPECT_EQ(targets[i].protocol, c.tcp[i] ? IPPROTO_TCP : 0);
      EXPECT_EQ(targets[i].state, -1);
      EXPECT_FALSE(targets[i].socket.IsValid());
    }
  }
}

TEST(SyslogHostsTest, ListIsCutAt2047Characters) {
  std::string list;
  for (int i = 0; i < 200; ++i) list += "127.0.0.1:1000,";  // 15 characters each
  const std::vector<SyslogTarget> targets = ParseSyslogHosts(list);
  // 136 whole items make 2040 characters; the 137th keeps its first 7.
  ASSERT_EQ(targets.size(), 137u);
  EXPECT_EQ(targets[135].host, "127.0.0.1");
  EXPECT_EQ(targets[136].host, "127.0.0");
  EXPECT_EQ(ntohs(targets[136].address.sin_port), 514);
}

TEST(SyslogMessageTest, FieldsFollowTheLayout) {
  struct Case {
    SyslogFields fields;
    uint32_t sequence;
    const char* expected;
  };
  const Case cases[] = {
      {{kTime, 0x1A4, 3, 0, "hello", "tag", 16, true, L"Src"}, 0, "<133>Mar 07 04:05:06 vm Src {0x1A4} 0000: (#30000) {tag} hello\n"},
      {{kTime, 0x1A4, 3, 0, "hello", nullptr, 16, true, L"Src"}, 17, "<133>Mar 07 04:05:06 vm Src {0x1A4} 0017: (#30000) hello\n"},
      {{kTime, 0xBEEF, 3, 0, "hello", "", 16, false, L"Src"}, 9999, "<133> Src {0xBEEF} 9999: (#30000) {} hello\n"},
      {{kTime, 1, 0, 0, "x", nullptr, 0, false, L""}, 1, "<2>  {0x1} 0001: (#00000) x\n"},
      {{kTime, 1, 1, 0x40001234, "x", nullptr, 23, false, L"S"}, 1, "<187> S {0x1} 0001: (#04660) x\n"},
      {{kTime, 1, 15, 0, "x", nullptr, 1, false, L"S"}, 1, "<25> S {0x1} 0001: (#150000) x\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(Narrow(FormatSyslogMessage(c.fields, "vm", c.sequence)), c.expected);
  }
}

TEST(SyslogMessageTest, LongTextIsCutTo509Characters) {
  const std::string text(600, 'x');
  const std::string message = Narrow(FormatSyslogMessage(Fields(text.c_str(), nullptr, false), "vm", 0));
  const std::string prefix = "<133> Src {0x1A4} 0000: (#30000) ";
  ASSERT_EQ(message.size(), 510u);
  EXPECT_EQ(message, prefix + std::string(509 - prefix.size(), 'x') + "\n");
}

class SyslogServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server_.Attach(error)) << error;
    // The log outlives runs: the marker is this run's own.
    marker_ = "m" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(GetTickCount()) + "_" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name();
  }

  std::string Hosts(bool udp, bool tcp) const {
    std::string list;
    if (udp) list = "127.0.0.1:" + std::to_string(server_.UdpPort());
    if (tcp) list += (udp ? "," : "") + std::string("127.0.0.1:") + std::to_string(server_.TcpPort()) + "/tcp";
    return list;
  }

  // Every pass retries at once, as a test that counts reports needs.
  SyslogOutput output_{[this](const std::wstring& text) { reports_.push_back(Narrow(text)); },
                       SyslogTimings{2000, 2000, 0, 0}};
  std::vector<std::string> reports_;
  RsyslogServer server_;
  std::string marker_;
};

TEST_F(SyslogServerTest, MessagesArriveByteForByteOverUdpAndTcp) {
  output_.Start(Hosts(true, true));
  Settle(output_);
  ASSERT_EQ(output_.GetHostName(), LocalHostName());
  const std::string host = LocalHostName();
  const std::string m = marker_;
  const std::string tagged = m + " tagged";
  const std::string plain = m + " plain";
  const std::string bare = m + " bare";
  const std::string empty = m + " empty";
  output_.Send(Fields(tagged.c_str(), "tag", true), 3, true);
  output_.Send(Fields(plain.c_str(), nullptr, true), 3, true);
  output_.Send(Fields(bare.c_str(), nullptr, false), 3, true);
  output_.Send(Fields(empty.c_str(), "", false), 3, true);
  const std::string header = "<133>Mar 07 04:05:06 " + host + " Src {0x1A4} ";
  const std::vector<std::string> expected = {
      header + "0000: (#30000) {tag} " + tagged, header + "0001: (#30000) " + plain,
      "<133> Src {0x1A4} 0002: (#30000) " + bare, "<133> Src {0x1A4} 0003: (#30000) {} " + empty};
  // A datagram keeps its line feed (rsyslog shows it as #012); on the
  // stream the line feed ends the message.
  std::vector<std::string> udp, tcp;
  for (const std::string& line : server_.WaitForLines(m, 8)) {
    (line.rfind("imudp ", 0) == 0 ? udp : tcp).push_back(line.substr(6));
  }
  ASSERT_EQ(udp.size(), 4u);
  ASSERT_EQ(tcp.size(), 4u);
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(tcp[i], expected[i]);
    EXPECT_EQ(udp[i], expected[i] + "#012");
  }
}

TEST_F(SyslogServerTest, LevelFilterAndSequenceWrap) {
  output_.Start(Hosts(false, true));
  // Not yet connected: messages are numbered but go nowhere.
  for (int i = 0; i < 9999; ++i) output_.Send(Fields("unsent", nullptr, false), 3, true);
  Settle(output_);
  const std::string dropped = marker_ + " dropped";
  const std::string passed = marker_ + " passed";
  const std::string always = marker_ + " always";
  output_.Send(Fields(dropped.c_str(), nullptr, false, 3), 2, true);
  output_.Send(Fields(passed.c_str(), nullptr, false, 2), 2, true);
  output_.Send(Fields(always.c_str(), nullptr, false, 5), 2, true);
  const std::vector<std::string> lines = server_.WaitForLines(marker_, 2);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "imtcp <132> Src {0x1A4} 9999: (#20000) " + passed);
  EXPECT_EQ(lines[1], "imtcp <135> Src {0x1A4} 0000: (#50000) " + always);
  EXPECT_EQ(output_.GetSequenceNumber(), 1u);
}

TEST_F(SyslogServerTest, ConnectionEventsAreToldOncePerChange) {
  // A port nobody listens on: one the system just handed out and took back.
  WinSockSession winsock;
  ASSERT_TRUE(winsock.Start());
  sockaddr_in address;
  BindLoopback(address);
  const std::string closedPort = std::to_string(ntohs(address.sin_port));

  output_.Start("127.0.0.1:" + closedPort + "/tcp,no-such-host.invalid," + Hosts(true, false));
  Settle(output_);
  // Each target answers in its own time: the order of the reports is not fixed.
  const std::vector<std::string> expected = {
      "[DIAG] EVENT=Error_connecting_to_Syslog, ERROR=11001, EVENTMSG=\"Error connecting to no-such-host.invalid\"",
      "[DIAG] EVENT=Syslog_connected, EVENTMSG=\"Connected to 127.0.0.1\"",
      "[DIAG] EVENT=Syslog_disconnected, ERROR=10061, EVENTMSG=\"Connect failed to 127.0.0.1\""};
  for (int pass = 0; pass < 10; ++pass) Settle(output_);
  std::sort(reports_.begin(), reports_.end());
  EXPECT_EQ(reports_, expected);
  const std::vector<SyslogTarget>& targets = output_.GetTargets();
  ASSERT_EQ(targets.size(), 3u);
  EXPECT_EQ(targets[0].state, 0);
  EXPECT_EQ(targets[0].lastError, 10061);
  EXPECT_EQ(targets[1].state, -1);
  EXPECT_EQ(targets[2].state, 1);

  output_.Stop();
  EXPECT_FALSE(output_.IsStarted());
  ASSERT_EQ(targets.size(), 3u);
  for (const SyslogTarget& target : targets) {
    EXPECT_EQ(target.state, 0);
    EXPECT_FALSE(target.socket.IsValid());
  }
  Settle(output_);
  EXPECT_EQ(reports_.size(), 3u);
}

TEST_F(SyslogServerTest, EmptyHostListStartsNothing) {
  output_.Start("");
  Settle(output_);
  EXPECT_FALSE(output_.IsStarted());
  EXPECT_TRUE(output_.GetTargets().empty());
  EXPECT_TRUE(reports_.empty());
}

TEST_F(SyslogServerTest, LostTcpConnectionIsRemadeOnALaterPass) {
  output_.Start(Hosts(false, true));
  Settle(output_);
  ASSERT_TRUE(server_.Stop());
  // The first send after the server went may still succeed; the loss shows
  // on one of the next.
  for (int i = 0; i < 50 && output_.GetTargets()[0].state == 1; ++i) {
    output_.Send(Fields("while stopped", nullptr, false), 3, true);
    Sleep(20);
  }
  Settle(output_);  // refused: silent, the target was connected before
  ASSERT_TRUE(server_.Start());
  Settle(output_);
  const std::string after = marker_ + " after";
  output_.Send(Fields(after.c_str(), nullptr, false), 3, true);
  ASSERT_EQ(reports_.size(), 3u);
  EXPECT_EQ(reports_[0], "[DIAG] EVENT=Syslog_connected, EVENTMSG=\"Connected to 127.0.0.1\"");
  EXPECT_EQ(reports_[1].rfind("[DIAG] EVENT=Syslog_disconnected, ERROR=", 0), 0u);
  EXPECT_NE(reports_[1].find("EVENTMSG=\"Connection lost to 127.0.0.1\""), std::string::npos);
  EXPECT_EQ(reports_[2], reports_[0]);
  const std::vector<std::string> lines = server_.WaitForLines(after, 1);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(after), std::string::npos);
}

// A listener whose queue of connections not yet accepted is full: a further
// connect to it is never answered. Invalid when the system kept answering.
UniqueSocket FullListener(sockaddr_in& address, std::vector<UniqueSocket>& waiting) {
  UniqueSocket listener = BindLoopback(address);
  listen(listener.Get(), 1);
  for (int i = 0; i < 32; ++i) {
    UniqueSocket client(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    u_long nonBlocking = 1;
    ioctlsocket(client.Get(), FIONBIO, &nonBlocking);
    connect(client.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(client.Get(), &writable);
    timeval wait = {0, 300000};
    const bool answered = select(0, nullptr, &writable, nullptr, &wait) == 1;
    waiting.push_back(std::move(client));
    if (!answered) return listener;
  }
  return UniqueSocket();
}

// A refusing server and one that never answers a connect: no pass waits,
// each failure is told once, the next attempt comes after a delay that
// doubles up to the last; the refusing one, once it listens, is connected.
TEST(SyslogRetryTest, FailedConnectsAreRetriedLaterWithoutWaiting) {
  WinSockSession winsock;
  ASSERT_TRUE(winsock.Start());
  sockaddr_in refusing;
  const UniqueSocket bound = BindLoopback(refusing);  // bound, not listening
  sockaddr_in silent;
  std::vector<UniqueSocket> waiting;
  const UniqueSocket full = FullListener(silent, waiting);
  ASSERT_TRUE(full.IsValid()) << "every connect was answered";
  std::vector<std::string> reports;
  SyslogOutput output([&](const std::wstring& text) { reports.push_back(Narrow(text)); },
                      SyslogTimings{500, 500, 200, 800});
  output.Start("127.0.0.1:" + std::to_string(ntohs(refusing.sin_port)) + "/tcp,127.0.0.1:" +
               std::to_string(ntohs(silent.sin_port)) + "/tcp");
  const std::vector<SyslogTarget>& targets = output.GetTargets();
  std::vector<std::vector<DWORD>> delays(2);
  DWORD slowestPass = 0;
  for (const DWORD start = GetTickCount(); GetTickCount() - start < 4000;) {
    const DWORD before = GetTickCount();
    output.Connect();
    slowestPass = std::max(slowestPass, GetTickCount() - before);
    for (size_t i = 0; i < 2; ++i) {
      if (delays[i].empty() || delays[i].back() != targets[i].retryDelay) delays[i].push_back(targets[i].retryDelay);
    }
    Sleep(10);
  }
  // Hang bound: a pass that waited for the silent server would take the
  // connect bound or, unbounded, about 21 s.
  EXPECT_LT(slowestPass, 250u);
  const std::vector<DWORD> doubling = {0, 200, 400, 800};
  EXPECT_EQ(delays[0], doubling);
  EXPECT_EQ(delays[1], doubling);
  EXPECT_EQ(targets[0].lastError, WSAECONNREFUSED);
  EXPECT_EQ(targets[1].lastError, WSAETIMEDOUT);
  std::sort(reports.begin(), reports.end());
  const std::vector<std::string> told = {
      "[DIAG] EVENT=Syslog_disconnected, ERROR=10060, EVENTMSG=\"Connect failed to 127.0.0.1\"",
      "[DIAG] EVENT=Syslog_disconnected, ERROR=10061, EVENTMSG=\"Connect failed to 127.0.0.1\""};
  EXPECT_EQ(reports, told);

  ASSERT_EQ(listen(bound.Get(), 1), 0);
  for (int pass = 0; pass < 300 && targets[0].state != 1; ++pass) {
    output.Connect();
    Sleep(10);
  }
  EXPECT_EQ(targets[0].state, 1);
  EXPECT_EQ(reports.size(), 3u);
}

// A server that accepts and never reads: with blocking sends off the output
// never waits, drops what does not fit, and never breaks a line.
TEST(SyslogStalledServerTest, NonBlockingSendsDropWholeMessages) {
  WinSockSession winsock;
  ASSERT_TRUE(winsock.Start());
  sockaddr_in address;
  UniqueSocket listener = BindLoopback(address);
  ASSERT_EQ(listen(listener.Get(), 1), 0);

  SyslogOutput output([](const std::wstring&) {});
  output.Start("127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/tcp");
  Settle(output);
  UniqueSocket server(accept(listener.Get(), nullptr, nullptr));
  ASSERT_TRUE(server.IsValid());
  const std::string text(450, 'y');
  constexpr int kMessages = 9999;  // about 4.5 MB, above the socket buffers; numbers do not wrap
  for (int i = 0; i < kMessages; ++i) output.Send(Fields(text.c_str(), nullptr, false), 3, false);
  EXPECT_EQ(output.GetTargets()[0].state, 1);
  EXPECT_EQ(output.GetTargets()[0].lastError, WSAEWOULDBLOCK);

  // What arrived: whole lines, in order, with gaps.
  output.Stop();
  std::string received;
  char buffer[65536];
  for (int n; (n = recv(server.Get(), buffer, sizeof buffer, 0)) > 0;) received.append(buffer, n);
  const std::string prefix = "<133> Src {0x1A4} ";
  const std::string suffix = ": (#30000) " + text + "\n";
  const size_t lineSize = prefix.size() + 4 + suffix.size();
  // Stopping may cut the one message still being finished.
  const size_t lines = received.size() / lineSize;
  const std::string cut = received.substr(lines * lineSize);
  const std::string digits = cut.size() > prefix.size() ? cut.substr(prefix.size(), 4) : "";
  const std::string whole = prefix + digits + (digits.size() == 4 ? suffix : "");
  EXPECT_EQ(cut, whole.substr(0, cut.size()));
  EXPECT_GT(lines, 0u);
  EXPECT_LT(lines, static_cast<size_t>(kMessages));
  int previous = -1;
  for (size_t i = 0; i < lines; ++i) {
    const std::string line = received.substr(i * lineSize, lineSize);
    ASSERT_EQ(line.substr(0, prefix.size()), prefix);
    ASSERT_EQ(line.substr(prefix.size() + 4), suffix);
    const int sequence = std::stoi(line.substr(prefix.size(), 4));
    ASSERT_GT(sequence, previous);
    previous = sequence;
  }
}

}  // namespace
