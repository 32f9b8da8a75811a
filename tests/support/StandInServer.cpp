#include "tests/support/StandInServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <stdexcept>

namespace testsupport {

namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

// Closes with a reset instead of the orderly end.
void CloseAbruptly(int fd) {
  if (fd < 0) return;
  const linger abrupt{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
  close(fd);
}

}  // namespace

TStandInServer::TStandInServer(int targetPort) : FTargetPort(targetPort), FMode(targetPort ? kForwarding : kStalled) {
  FListener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in address = Loopback(0);
  socklen_t size = sizeof address;
  if (FListener < 0 || bind(FListener, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(FListener, 16) != 0 ||
      getsockname(FListener, reinterpret_cast<sockaddr*>(&address), &size) != 0)
    throw std::runtime_error("the stand-in server cannot listen");
  FPort = ntohs(address.sin_port);
  FThread = std::thread([this] { Serve(); });
}

TStandInServer::~TStandInServer() {
  FStop = true;
  FThread.join();
  for (const TLink& link : FLinks) {
    close(link.Client);
    if (link.Server >= 0) close(link.Server);
  }
  close(FListener);
}

void TStandInServer::Accept() {
  const int client = accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
  if (client < 0) return;
  ++FAccepted;
  if (FMode == kReset) {
    CloseAbruptly(client);
    return;
  }
  int server = -1;
  if (FTargetPort) {
    server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in target = Loopback(FTargetPort);
    if (server < 0 || connect(server, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
      CloseAbruptly(server);
      CloseAbruptly(client);
      return;
    }
  }
  FLinks.push_back({client, server});
}

bool TStandInServer::Pass(int from, int to) {
  char buffer[65536];
  const ssize_t n = read(from, buffer, sizeof buffer);
  if (n <= 0) return false;
  for (ssize_t sent = 0; sent < n;) {
    const ssize_t m = write(to, buffer + sent, static_cast<size_t>(n - sent));
    if (m <= 0) return false;
    sent += m;
  }
  FPassed += n;
  return true;
}

void TStandInServer::ResetAfter(std::chrono::milliseconds time) { FResetAt = std::chrono::steady_clock::now() + time; }

void TStandInServer::Serve() {
  while (!FStop) {
    if (std::chrono::steady_clock::now() >= FResetAt.load()) FMode = kReset;
    if (FMode == kReset) {
      for (const TLink& link : FLinks) {
        CloseAbruptly(link.Client);
        CloseAbruptly(link.Server);
      }
      FLinks.clear();
    }
    // Only forwarding links are read: a stalled one keeps what it is sent unread.
    const bool forwarding = FMode == kForwarding;
    std::vector<pollfd> waiting{{FListener, POLLIN, 0}};
    if (forwarding)
      for (const TLink& link : FLinks) {
        waiting.push_back({link.Client, POLLIN, 0});
        waiting.push_back({link.Server, POLLIN, 0});
      }
    if (poll(waiting.data(), waiting.size(), 10) <= 0) continue;
    if (waiting[0].revents & POLLIN) Accept();
    // What came after a stall or a reset was asked for is never passed on.
    if (!forwarding || FMode != kForwarding) continue;
    for (size_t i = 1; i < waiting.size(); i += 2) {
      TLink& link = FLinks[(i - 1) / 2];
      const bool open = (!waiting[i].revents || Pass(link.Client, link.Server)) &&
                        (!waiting[i + 1].revents || Pass(link.Server, link.Client));
      if (!open) {
        close(link.Client);
        close(link.Server);
        link = {-1, -1};
      }
    }
    std::erase_if(FLinks, [](const TLink& link) { return link.Client < 0; });
  }
}

IConnParamsPtr ThroughPort(IConnParams* location, int port) {
  IConnParamsPtr copy = StrToConnParams(ConnParamsToStr(location));
  if (copy->HasParam("SERVER")) copy->SetValue("SERVER", "127.0.0.1/" + std::to_string(port));
  const std::string text = GetConnParam(copy.get(), "CONNECTIONSTRING", "");
  if (!text.empty())
    copy->SetValue("CONNECTIONSTRING", std::regex_replace(text, std::regex("Port=[0-9]*"), "Port=" + std::to_string(port)));
  return copy;
}

IConnParamsPtr ServerLocation(TEngine engine, int port) {
  IConnParamsPtr location =
      engine == TEngine::FirebirdServer
          ? CreateConnParams({"ENGINE", "IB", "SERVER", "127.0.0.1", "PROTOCOL", "TCP", "DATABASE", "/gis.fdb", "USER",
                              "SYSDBA", "PASSWORD", "quillcart"})
          : CreateConnParams({"ENGINE", "OLEDB", "CONNECTIONSTRING",
                              "DRIVER={PostgreSQL Unicode};Server=127.0.0.1;Port=0;Database=gis;Uid=postgres"});
  return ThroughPort(location.get(), port);
}

}  // namespace testsupport
