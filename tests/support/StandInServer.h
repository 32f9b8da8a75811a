// A database server's stand-in for the tests of what the program does when a server stops
// answering: a TCP listener on the loopback address that accepts every connection and, as told,
// holds it without a word, passes its bytes on to a real server, stops passing them, or resets it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "gisdb/DbConnParams.h"
#include "tests/support/Engines.h"

namespace testsupport {

class TStandInServer {
 public:
  // Listens on a free loopback port. With a target port, every connection is passed on to the
  // server listening there; without one, no connection ever hears a word.
  explicit TStandInServer(int targetPort = 0);
  // Closes every connection, so that a client still waiting on one hears the end of it.
  ~TStandInServer();
  TStandInServer(const TStandInServer&) = delete;
  TStandInServer& operator=(const TStandInServer&) = delete;

  int Port() const { return FPort; }
  // The connections accepted so far.
  int Accepted() const { return FAccepted; }
  // The bytes passed on so far, either way.
  int64_t Passed() const { return FPassed; }
  // Passes nothing more either way, keeping every connection open, as a host that froze.
  void Stall() { FMode = kStalled; }
  // Ends every connection, and each one accepted from now on, with a reset, as a server that went
  // away.
  void Reset() { FMode = kReset; }
  // Resets once `time` has passed from now: a test whose program would wait for ever on this
  // server then fails instead of hanging.
  void ResetAfter(std::chrono::milliseconds time);

 private:
  enum TMode { kForwarding, kStalled, kReset };
  struct TLink {
    int Client;
    int Server;  // -1 when there is no target
  };
  void Serve();
  void Accept();
  // Passes what is waiting on `from` to `to`; false when `from` has ended.
  bool Pass(int from, int to);

  int FListener = -1;
  int FPort = 0;
  int FTargetPort;
  std::atomic<int> FAccepted{0};
  std::atomic<int64_t> FPassed{0};
  std::atomic<TMode> FMode;
  std::atomic<std::chrono::steady_clock::time_point> FResetAt{std::chrono::steady_clock::time_point::max()};
  std::atomic<bool> FStop{false};
  std::vector<TLink> FLinks;  // the serving thread's own
  std::thread FThread;
};

// A copy of a server location that reaches its server through the stand-in listening on `port`
// instead: a Firebird location by its SERVER, an ODBC one by the Port of its connection string.
IConnParamsPtr ThroughPort(IConnParams* location, int port);
// A location of the database "gis" on the server of `engine` (FirebirdServer or PostgresOdbc)
// that listens on the loopback `port`.
IConnParamsPtr ServerLocation(TEngine engine, int port);

}  // namespace testsupport
