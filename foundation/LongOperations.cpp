#include "foundation/LongOperations.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>

#include "platform/rtl/AnsiText.h"
#include "platform/rtl/Classes.h"
#include "platform/ui/Animate.h"
#include "platform/ui/Application.h"
#include "platform/ui/UiText.h"

namespace {

constexpr int kClientWidth = 363;
constexpr int kTextPanelHeight = 74;
constexpr int kControlPanelHeight = 41;

TStringList Captions;

}  // namespace

TLongOperationForm* LongOperationForm = nullptr;
uint8_t LongOperationMode = 0;
QWidget* LongOperationOwner = nullptr;
TStringList* const LongOperationCaptions = &Captions;

TLongOperationForm::TLongOperationForm(QWidget* owner)
    : QWidget(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  CreateParams();
  setWindowTitle(ToQString("Подождите..."_ansi));
  QFont f = font();
  f.setPixelSize(14);
  setFont(f);
  setFixedSize(kClientWidth, kTextPanelHeight);

  TextPanel = new QFrame(this);
  TextPanel->setFrameShape(QFrame::NoFrame);
  TextPanel->setGeometry(0, 0, kClientWidth, kTextPanelHeight);

  OperationName = new QLabel(ToQString("Процесс идет..."_ansi), TextPanel);
  OperationName->setGeometry(74, 10, 277, 55);
  OperationName->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  OperationName->setWordWrap(true);
  OperationName->setTextFormat(Qt::PlainText);

  Animate = new TAnimate(TextPanel);
  Animate->setGeometry(10, 10, 59, 55);
  Animate->SetCommonAVI(TCommonAVI::aviFindComputer);
  Animate->SetStopFrame(8);

  ControlPanel = new QFrame(this);
  ControlPanel->setFrameShape(QFrame::NoFrame);
  ControlPanel->setGeometry(0, kTextPanelHeight, kClientWidth, kControlPanelHeight);
  ControlPanel->hide();

  TerminateButton = new QPushButton(ToQString("Отмена"_ansi), ControlPanel);
  TerminateButton->setGeometry(128, 8, 81, 25);
  TerminateButton->setEnabled(false);
  QObject::connect(TerminateButton, &QPushButton::clicked, this, [this] { TerminateButtonClick(); });
}

TLongOperationForm::~TLongOperationForm() { FormDestroy(); }

void TLongOperationForm::CreateParams() {
  if (LongOperationOwner) setParent(LongOperationOwner, windowFlags());
}

void TLongOperationForm::FormDestroy() {
  if (LongOperationForm == this) LongOperationForm = nullptr;
}

void TLongOperationForm::ShowTerminateButton() {
  setFixedHeight(height() + ControlPanel->height());
  ControlPanel->show();
  TerminateButton->setEnabled(true);
  TerminateButton->setFocus();
}

void TLongOperationForm::ShowRunning() {
  OperationName->setText(QString());
  Animate->Play();
  CenterOnScreen(*this);
  show();
}

void TLongOperationForm::TerminateButtonClick() {
  if (Terminated) return;
  Terminated = !AskBeforeTerminating ||
               Application->MessageBox("Операция будет прервана. Завершить?"_ansi, "Предупреждение"_ansi,
                                       MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
}

void TLongOperationForm::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier && TerminateButton->isEnabled())
    TerminateButton->click();
  else
    QWidget::keyPressEvent(event);
}

void TLongOperationForm::closeEvent(QCloseEvent* event) { event->ignore(); }

void BeginLongOperation(bool CanTerminate) {
  // Without a window system (a command-line tool over the access layer) there is nothing to show.
  if (LongOperationMode == 2 || !qobject_cast<QApplication*>(QCoreApplication::instance())) return;
  if (!LongOperationForm) {
    LongOperationForm = Application->CreateForm<TLongOperationForm>();
    if (CanTerminate) LongOperationForm->ShowTerminateButton();
  }
  TLongOperationForm& form = *LongOperationForm;
  LongOperationCaptions->Add(FromQString(form.OperationName->text()));
  if (LongOperationCaptions->Count() == 1) form.ShowRunning();
}

void EndLongOperation() {
  if (LongOperationMode == 2 || !LongOperationForm || LongOperationCaptions->Count() == 0) return;
  const int top = LongOperationCaptions->Count() - 1;
  const std::string caption = LongOperationCaptions->Strings(top);
  LongOperationCaptions->Delete(top);
  if (LongOperationCaptions->Count() == 0) {
    LongOperationForm->Animate->Stop();
    if (LongOperationMode != 0)
      LongOperationForm->hide();
    else
      delete LongOperationForm;  // its destroy handler clears LongOperationForm
  } else {
    LongOperationForm->OperationName->setText(ToQString(caption));
  }
}
