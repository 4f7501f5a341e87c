// The daemon as a black box: a configuration file in, the scratch hosts file
// and the forwarders out, driven over the control port.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "harness.hpp"
#include "stream.hpp"

namespace tavi::e2e {
namespace {

using namespace std::chrono_literals;

// A listening socket on 127.0.0.1; -1 when the bind failed.
int listen_on(int port, int backlog = 16) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, backlog) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A connected socket to ip:port with a receive time-out; -1 on failure.
int connect_to(const char* ip, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  inet_pton(AF_INET, ip, &addr.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

using test::read_until_closed;

// One request line, its reply line.
std::string control_request(int port, const std::string& line) {
  int fd = connect_to("127.0.0.1", port);
  if (fd < 0) return "<no connection>";
  send(fd, line.data(), line.size(), MSG_NOSIGNAL);
  std::string reply = read_until_closed(fd);
  close(fd);
  return reply;
}

class DaemonTest : public ::testing::Test {
 protected:
  ChildEnvironment environment(const std::string& loopback) {
    return {.set = {{"TAVI_CONFIG", dir_.file("config.json")},
                    {"TAVI_HOSTS_FILE", dir_.file("hosts")},
                    {"TAVI_IPC_ADDR", "127.0.0.1:" + std::to_string(control_port_)},
                    {"TAVI_LOOPBACK", loopback},
                    {"TAVI_UPDATE_URL", "http://127.0.0.1:9"}}};
  }
  std::string hosts() { return read_file(dir_.file("hosts")); }

  ScratchDir dir_;
  int control_port_ = free_loopback_port();
};

// A server on 127.0.0.1 that answers every connection with "hello" and
// closes it; stopping it closes the port, so a probe is refused at once.
class HelloServer {
 public:
  HelloServer() { start(0); }
  ~HelloServer() { stop(); }
  int port() const { return port_; }
  void stop() {
    if (fd_ < 0) return;
    shutdown(fd_, SHUT_RDWR);  // ends the blocked accept
    thread_.join();
    close(fd_);
    fd_ = -1;
  }
  bool restart() {
    stop();
    return start(port_);
  }

 private:
  bool start(int port) {
    fd_ = listen_on(port);
    if (fd_ < 0) return false;
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &length);
    port_ = ntohs(bound.sin_port);
    thread_ = std::thread([fd = fd_] {
      for (;;) {
        int client = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) return;
        send(client, "hello", 5, MSG_NOSIGNAL);
        close(client);
      }
    });
    return true;
  }
  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
};

// Everything the forwarder at 127.95.1.2:80 passes back before it closes.
std::string fetch_through_forwarder() {
  int client = connect_to("127.95.1.2", 80);
  if (client < 0) return "<refused>";
  std::string got = read_until_closed(client);
  close(client);
  return got;
}

TEST_F(DaemonTest, HostsFileAndForwarderFollowAServerGoingDownAndComingBack) {
  HelloServer web, printer;
  write_file(dir_.file("hosts"), "127.0.0.1\tlocalhost\n");
  const std::string web_port = std::to_string(web.port());
  write_file(dir_.file("config.json"),
             "{\"domain\":\"lan\",\"servers\":["
             "{\"name\":\"nas\",\"home_ip\":\"127.0.0.1\",\"port\":" +
                 web_port + ",\"web_port\":" + web_port +
                 "},"
                 "{\"name\":\"printer\",\"home_ip\":\"127.0.0.1\",\"port\":" +
                 std::to_string(printer.port()) + "}]}");
  RunningProgram daemon(helper_binary(), {"run"}, environment("127.95.1.2"));

  const std::string both =
      "127.0.0.1\tlocalhost\n\n"
      "# BEGIN tavi (dikelola otomatis oleh tavi, jangan diedit)\n"
      "127.95.1.2\tnas.lan\n"
      "127.0.0.1\tprinter.lan\n"
      "# END tavi\n";
  ASSERT_TRUE(eventually([&] { return hosts() == both; })) << hosts() << daemon.stderr_so_far();
  EXPECT_EQ(fetch_through_forwarder(), "hello");

  // Both servers go down; a recheck follows.
  web.stop();
  printer.stop();
  EXPECT_EQ(control_request(control_port_, "\"Recheck\"\n"), "\"Ok\"\n");
  const std::string forwarded_only =
      "127.0.0.1\tlocalhost\n\n"
      "# BEGIN tavi (dikelola otomatis oleh tavi, jangan diedit)\n"
      "127.95.1.2\tnas.lan\n"
      "# END tavi\n";
  EXPECT_TRUE(eventually([&] { return hosts() == forwarded_only; })) << hosts();
  // The forwarder stays but has no target: accepted and closed at once.
  EXPECT_EQ(fetch_through_forwarder(), "");

  // Back on the same ports.
  ASSERT_TRUE(web.restart());
  ASSERT_TRUE(printer.restart());
  EXPECT_EQ(control_request(control_port_, "\"Recheck\"\n"), "\"Ok\"\n");
  EXPECT_TRUE(eventually([&] { return hosts() == both; })) << hosts();
  EXPECT_EQ(fetch_through_forwarder(), "hello");
  EXPECT_EQ(daemon.stderr_so_far(), "");
}

TEST_F(DaemonTest, AnUnreadableConfigurationStartsEmptyAndSilently) {
  write_file(dir_.file("config.json"), "{not json");
  RunningProgram daemon(helper_binary(), {"run"}, environment("127.95.2.2"));
  std::string reply;
  ASSERT_TRUE(eventually([&] {
    reply = control_request(control_port_, "\"GetConfig\"\n");
    return reply != "<no connection>";
  }));
  EXPECT_EQ(reply, "{\"Config\":{\"domain\":\"home.arpa\",\"servers\":[]}}\n");
  EXPECT_EQ(control_request(control_port_, "\"Status\"\n"), "{\"Status\":[]}\n");
  EXPECT_EQ(daemon.stderr_so_far(), "");
}

TEST_F(DaemonTest, StatusRightAfterStartIsUnknownForEveryServer) {
  // A home address whose accept queue is full keeps the first cycle busy.
  int slow = listen_on(0, 0);
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  getsockname(slow, reinterpret_cast<sockaddr*>(&bound), &length);
  const int slow_port = ntohs(bound.sin_port);
  std::vector<int> waiting;
  for (int i = 0; i < 4; ++i) {
    int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in addr = bound;
    connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    waiting.push_back(c);
  }
  write_file(dir_.file("config.json"),
             "{\"domain\":\"Lan.\",\"servers\":[{\"name\":\"nas\",\"home_ip\":\"127.0.0.1\","
             "\"port\":" +
                 std::to_string(slow_port) +
                 ",\"vpn\":[{\"label\":\"office\",\"ip\":\"127.0.0.1\"}]}]}");
  RunningProgram daemon(helper_binary(), {"run"}, environment("127.95.3.2"));
  std::string reply;
  ASSERT_TRUE(eventually([&] {
    reply = control_request(control_port_, "\"Status\"\n");
    return reply != "<no connection>";
  }));
  EXPECT_EQ(reply,
            "{\"Status\":[{\"name\":\"nas\",\"fqdn\":\"nas.Lan.\",\"ip\":null,\"route\":"
            "\"Unknown\"}]}\n");
  EXPECT_TRUE(eventually([&] {
    return control_request(control_port_, "\"Status\"\n").find("\"Unreachable\"") !=
           std::string::npos;
  }));
  for (int c : waiting) close(c);
  close(slow);
}

TEST_F(DaemonTest, ABusyControlPortIsRetriedUntilItFrees) {
  int busy = listen_on(control_port_);
  ASSERT_GE(busy, 0);
  write_file(dir_.file("hosts"), "");
  write_file(
      dir_.file("config.json"),
      "{\"domain\":\"lan\",\"servers\":[{\"name\":\"me\",\"home_ip\":\"127.0.0.1\",\"port\":" +
          std::to_string(control_port_) + "}]}");
  RunningProgram daemon(helper_binary(), {"run"}, environment("127.95.4.2"));
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(hosts(), "") << "no cycle before the control port is bound";
  close(busy);
  // Once bound, the first cycle probes the control port itself.
  EXPECT_TRUE(eventually([&] { return hosts().find("127.0.0.1\tme.lan\n") != std::string::npos; }))
      << hosts() << daemon.stderr_so_far();
}

TEST_F(DaemonTest, AControlPortBusyThroughoutEndsTheDaemonAfterAboutTwentySeconds) {
  int busy = listen_on(control_port_);
  ASSERT_GE(busy, 0);
  const auto start = std::chrono::steady_clock::now();
  RunningProgram daemon(helper_binary(), {"run"}, environment("127.95.5.2"));
  EXPECT_EQ(daemon.wait_exit(40s), 1);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 19s);
  EXPECT_LT(took, 30s);
  EXPECT_EQ(daemon.stderr_so_far(),
            "tavi-helper: Tidak bisa membuka 127.0.0.1:" + std::to_string(control_port_) +
                ": Address already in use (os error 98)\n");
  close(busy);
}

}  // namespace
}  // namespace tavi::e2e
