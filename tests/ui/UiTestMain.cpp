// The main of the widget suites: a QApplication on the offscreen platform (unless another platform
// is asked for), and a strict modal hook, so a dialog that a test does not script fails that test
// instead of waiting for a person.
#include <QApplication>
#include <gtest/gtest.h>

#include "platform/ui/Application.h"
#include "platform/ui/Dialogs.h"

namespace {

QtMessageHandler PreviousHandler = nullptr;

// Warnings of the offscreen platform that say nothing about the code under test: windows asking for
// size hints, and the missing runtime folder of a session without a desktop.
void QuietMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (message.contains(QStringLiteral("propagateSizeHints")) || message.contains(QStringLiteral("XDG_RUNTIME_DIR")))
    return;
  if (PreviousHandler) PreviousHandler(type, context, message);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  PreviousHandler = qInstallMessageHandler(QuietMessages);
  QApplication app(argc, argv);
  SetDialogFailureReporter([](const std::string& message) { ADD_FAILURE() << message; });
  SetModalHook(StrictModalHook());
  const int result = RUN_ALL_TESTS();
  Application->DestroyForms();
  return result;
}
