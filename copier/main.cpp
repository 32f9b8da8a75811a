// The program: the application object, the start-up objects, and the wizard as the main window.
#include <QApplication>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "copier/Main.h"
#include "copier/WaitingWork.h"
#include "foundation/CommonUtils.h"
#include "foundation/DebugProfiler.h"
#include "foundation/GisLogs.h"
#include "foundation/HollowBrushes.h"
#include "foundation/LazyObjects.h"
#include "foundation/SimpleXML.h"
#include "platform/ui/Application.h"

int main(int argc, char** argv) {
  // Before the QApplication, whose threads inherit the block.
  Application->HoldTerminationSignals();
  QApplication app(argc, argv);
  Application->LoadQtTranslation();
  Application->UseRussianLocale();
  LoadFormatSettingsFromLocale();
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(Utf8ToAnsi(argv[i], '?'));
  SetCommandLineArgs(args);
  InitSimpleXML();
  InitGisLogs();
  InitDebugProfiler();
  InitHollowBrushes();

  Application->SetTitle("Копирование базы ГИС Орвел"_ansi);
  int code = 0;
  {
    auto* form = new TCopyOrvel;
    CopyOrvel = form;
    Application->SetMainForm(form);
    Application->AddForm(form);
    CenterOnScreen(*form);
    form->show();
    code = Application->Run();
    Application->DestroyForms();
  }

  DoneHollowBrushes();
  DoneLazyObjects();
  DoneDebugProfiler();
  DoneGisLogs();
  DoneSimpleXML();
  // The connections the wizard let go of close on threads of their own, which a server that answers
  // lets end at once. A wait the wizard gave up, or a close its server does not answer, may leave
  // a thread held up in a client library call, whose clean-up at exit would wait for it or pull
  // its connection from under it. Nothing is being written then (the windows are closed): after a
  // moment the process ends without that clean-up, and what a connection still had pending is its
  // server's to roll back.
  if (!WaitThreadsEnd(std::chrono::milliseconds(500))) {
    std::fflush(nullptr);
    _exit(code);
  }
  return code;
}
