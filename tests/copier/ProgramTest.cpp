// The program itself, run as a process of its own under the offscreen platform.
#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>

#include "gisdb/DbConnParams.h"
#include "gisdb/OrvelDbs.h"
#include "platform/ui/UiText.h"
#include "tests/support/DemoGisDb.h"
#include "tests/support/Engines.h"
#include "tests/support/StandInServer.h"

using testsupport::TEngine;

namespace {

// Whether `signal` is in the mask that /proc shows for the process on the line `field` ("SigBlk":
// blocked, "SigCgt": a handler installed).
bool InSignalMask(qint64 pid, const std::string& field, int signal) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(field + ":", 0) == 0) return (std::stoull(line.substr(field.size() + 1), nullptr, 16) >> (signal - 1)) & 1;
  return false;
}

// Waits until `done` holds, the program ends or `milliseconds` have passed; true in the first case.
bool WaitWhileRunning(QProcess& program, const std::function<bool()>& done, int milliseconds) {
  QDeadlineTimer deadline(milliseconds);
  while (!done()) {
    if (deadline.hasExpired() || program.state() != QProcess::Running) return false;
    QThread::msleep(10);
  }
  return true;
}

// Starts the program with a source on the server of `engine` that `server` stands in for, and
// waits until it has connected there.
void StartWithSourceAt(QProcess& program, TEngine engine, const testsupport::TStandInServer& server) {
  const IConnParamsPtr source = testsupport::ServerLocation(engine, server.Port());
  program.start(QStringLiteral(COPYORVEL_PROGRAM), {ToQString("-Source:" + ConnParamsToStr(source.get()))});
  ASSERT_TRUE(program.waitForStarted());
  ASSERT_TRUE(WaitWhileRunning(program, [&] { return server.Accepted() > 0; }, 60000)) << "the program never connected";
}

// Whether the program ends within `milliseconds`; it is killed when it does not.
bool EndsWithin(QProcess& program, int milliseconds) {
  if (program.waitForFinished(milliseconds)) return true;
  program.kill();
  program.waitForFinished();
  return false;
}

}  // namespace

// SIGTERM, SIGINT and SIGHUP end the program as closing its window does, before any connection
// and after one to Firebird, embedded and on the server, whose client installs handlers of its
// own for two of them on its first attach.
TEST(Program, TerminationSignalsEndItAsClosingTheWindowDoes) {
  testsupport::TempDir dir;
  std::vector<std::pair<std::string, QStringList>> starts = {{"no connection", {}}};
  for (TEngine engine : {TEngine::FirebirdEmbedded, TEngine::FirebirdServer}) {
    bool available = true;
    for (const auto& e : testsupport::AllEngines())
      if (e.Engine == engine && !e.Available) available = false;
    if (!available) continue;
    IConnParamsPtr params = testsupport::NewDatabase(engine, dir, testsupport::EngineName(engine));
    {
      IOrvDbPtr db = ConnectDb(params.get(), true);
      testsupport::TDemoOptions options;
      options.LargeRows = 10;
      testsupport::BuildDemoGisDb(db.get(), options);
      db->Close();
    }
    params->SetValue("PASSWORD", "quillcart");  // the password field's preset, which its confirmation holds
    starts.push_back({testsupport::EngineName(engine), {ToQString("-Source:" + ConnParamsToStr(params.get()))}});
  }
  for (const auto& [start, arguments] : starts) {
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
      SCOPED_TRACE(start + ", " + strsignal(signal));
      QProcess program;
      program.start(QStringLiteral(COPYORVEL_PROGRAM), arguments);
      ASSERT_TRUE(program.waitForStarted());
      const qint64 pid = program.processId();
      if (arguments.isEmpty()) {
        // Sent once the program holds the signal, or after a while if it never does.
        WaitWhileRunning(program, [&] { return InSignalMask(pid, "SigBlk", signal); }, 2000);
      } else {
        // The wizard attaches the source in its message loop; the Firebird client installs its
        // handlers then.
        ASSERT_TRUE(WaitWhileRunning(program, [&] { return InSignalMask(pid, "SigCgt", SIGTERM); }, 60000))
            << program.readAllStandardError().toStdString();
      }
      kill(static_cast<pid_t>(pid), signal);
      if (!program.waitForFinished(30000)) {
        program.kill();
        program.waitForFinished();
        FAIL() << "still running after the signal";
      }
      EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
      EXPECT_EQ(program.exitCode(), 0) << program.readAllStandardError().toStdString();
    }
  }
}

// The first SIGTERM or SIGINT ends the program within a moment whatever the source's server still
// owes it: a server, Firebird's or PostgreSQL's, that takes the connection and never answers (the
// waiting window shown), and a Firebird server that stops answering once the program has connected
// and read the source (the program then closes its connection on the way out). The program does
// not wait for the client library to give up.
TEST(Program, TheFirstSignalEndsItWhileTheSourcesServerIsSilent) {
  testsupport::TempDir dir;
  IConnParamsPtr firebird;
  if (std::getenv("COPYORVEL_FB_SERVER")) {
    firebird = testsupport::NewDatabase(TEngine::FirebirdServer, dir, "connected");
    IOrvDbPtr db = ConnectDb(firebird.get(), true);
    testsupport::TDemoOptions options;
    options.LargeRows = 10;
    testsupport::BuildDemoGisDb(db.get(), options);
    db->Close();
  }
  struct TCase {
    TEngine Engine;
    bool Connected;  // the server answers until the program has connected and read the source
  };
  for (const TCase& c : {TCase{TEngine::FirebirdServer, false}, TCase{TEngine::PostgresOdbc, false},
                         TCase{TEngine::FirebirdServer, true}}) {
    if (c.Connected && !firebird) continue;
    for (int signal : {SIGTERM, SIGINT}) {
      SCOPED_TRACE(testsupport::EngineName(c.Engine) + (c.Connected ? ", connected" : "") + ", " + strsignal(signal));
      testsupport::TStandInServer server(c.Connected ? 3050 : 0);
      server.ResetAfter(std::chrono::seconds(20));
      QProcess program;
      if (c.Connected) {
        const IConnParamsPtr source = testsupport::ThroughPort(firebird.get(), server.Port());
        program.start(QStringLiteral(COPYORVEL_PROGRAM), {ToQString("-Source:" + ConnParamsToStr(source.get()))});
        ASSERT_TRUE(program.waitForStarted());
        // Connected, the source's caption read, and nothing asked for half a second: the
        // destination page.
        int64_t passed = -1;
        QElapsedTimer quiet;
        ASSERT_TRUE(WaitWhileRunning(program, [&] {
          if (server.Passed() != passed || !quiet.isValid()) {
            passed = server.Passed();
            quiet.start();
          }
          return passed > 0 && quiet.elapsed() >= 500;
        }, 60000)) << "the program never connected";
        server.Stall();
      } else {
        ASSERT_NO_FATAL_FAILURE(StartWithSourceAt(program, c.Engine, server));
        QThread::msleep(300);  // the waiting window shows after 100 ms
      }
      QElapsedTimer sent;
      sent.start();
      kill(static_cast<pid_t>(program.processId()), signal);
      EXPECT_TRUE(EndsWithin(program, 30000));
      EXPECT_LT(sent.elapsed(), 1500);
      EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
      EXPECT_EQ(program.exitCode(), 0) << program.readAllStandardError().toStdString();
    }
  }
}

// A second SIGTERM or SIGINT right after the first never keeps the program running, whatever the
// first has set going: the source's server takes the connection and never answers.
TEST(Program, ASecondSignalEndsItWhileTheLoopIsHeldUp) {
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(strsignal(signal));
    testsupport::TStandInServer silent;
    QProcess program;
    ASSERT_NO_FATAL_FAILURE(StartWithSourceAt(program, TEngine::FirebirdServer, silent));
    const auto pid = static_cast<pid_t>(program.processId());
    kill(pid, signal);
    QThread::msleep(300);
    kill(pid, signal);
    EXPECT_TRUE(EndsWithin(program, 5000)) << "still running after the second signal";
  }
}
