#include "foundation/ConfirmForms.h"

#include <QFontMetrics>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <algorithm>

#include "platform/rtl/AnsiText.h"
#include "platform/rtl/SysUtils.h"
#include "platform/ui/Application.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/UiText.h"

TActionForm* ActionForm = nullptr;

TActionForm::TActionForm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
  setWindowTitle(ToQString("Выбирите действие"_ansi));
  QFont f(QStringLiteral("MS Sans Serif"));
  f.setStyleHint(QFont::SansSerif);
  f.setPixelSize(13);
  setFont(f);

  InfoWindow = new QPlainTextEdit(this);
  InfoWindow->setReadOnly(true);
  InfoWindow->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

  pButtons = new QFrame(this);
  pButtons->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  pButtons->setFixedWidth(149);

  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(InfoWindow, 1);
  layout->addWidget(pButtons);
  setFixedSize(ClientWidth, 93);
}

TActionForm::~TActionForm() {
  if (ActionForm == this) ActionForm = nullptr;
}

TActionForm::TButtonLayout TActionForm::ButtonLayout(int textWidth, int buttonCount) {
  TButtonLayout l{};
  l.Width = textWidth + textWidth % 2 + 30;
  l.Left = static_cast<int>(RoundHalfEven(l.Width * 0.1));
  l.Top = static_cast<int>(RoundHalfEven(ButtonHeight * 1.5));
  l.Step = ButtonHeight + static_cast<int>(RoundHalfEven(ButtonHeight * 0.5));
  l.PanelWidth = 2 * l.Left + l.Width;
  l.ClientHeight = l.Top + l.Step * buttonCount;
  return l;
}

int TActionForm::Execute(const std::string& Caption, const std::string& Text,
                         const std::vector<std::string>& Buttons, const std::vector<std::string>& confirms) {
  setWindowTitle(ToQString(Caption));
  InfoWindow->setPlainText(ToQString(Text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
  Confirms = confirms;
  CreateButtons(Buttons);
  ChosenIndex = static_cast<int>(Buttons.size()) - 1;

  CenterOnMainForm(*this);
  ExecModal(*this, {.Kind = TModalKind::Form, .Id = "TActionForm", .Caption = Caption, .Text = Text, .Buttons = Buttons});
  return ChosenIndex;
}

void TActionForm::CreateButtons(const std::vector<std::string>& Buttons) {
  for (QPushButton* b : FButtons) delete b;
  FButtons.clear();

  const QFontMetrics metrics(font());
  int textWidth = 0;
  for (const std::string& caption : Buttons)
    textWidth = std::max(textWidth, metrics.horizontalAdvance(ToQString(caption)));
  const TButtonLayout l = ButtonLayout(textWidth, static_cast<int>(Buttons.size()));

  int top = l.Top;
  for (size_t i = 0; i < Buttons.size(); ++i) {
    auto* button = new QPushButton(ToQString(Buttons[i]), pButtons);
    button->setProperty("Tag", static_cast<int>(i));
    button->setGeometry(l.Left, top, l.Width, ButtonHeight);
    QObject::connect(button, &QPushButton::clicked, this, [this, button] { ButtonClick(button); });
    button->show();
    FButtons.push_back(button);
    top += l.Step;
  }
  pButtons->setFixedWidth(l.PanelWidth);
  setFixedSize(ClientWidth, top);
}

void TActionForm::ButtonClick(QPushButton* button) {
  ChosenIndex = button->property("Tag").toInt();
  const bool confirmed = ChosenIndex >= static_cast<int>(Confirms.size()) || Confirms[ChosenIndex].empty();
  if (confirmed) {
    close();
    return;
  }
  if (Application->MessageBox(Confirms[ChosenIndex], "Предупреждение"_ansi, MB_YESNO | MB_ICONWARNING, this) ==
      IDYES)
    close();
  else
    ChosenIndex = static_cast<int>(Confirms.size()) - 1;
}

void TActionForm::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier && !FButtons.empty()) {
    FButtons.back()->click();
    return;
  }
  QDialog::keyPressEvent(event);
}

int ChooseAction(const std::string& Caption, const std::string& Text, const std::vector<std::string>& Buttons,
                 const std::vector<std::string>& Confirms) {
  if (Confirms.size() != Buttons.size())
    throw Exception(Format("ChooseAction: %d confirmations for %d buttons",
                           {static_cast<int64_t>(Confirms.size()), static_cast<int64_t>(Buttons.size())}));
  if (!ActionForm) ActionForm = Application->CreateForm<TActionForm>();
  return ActionForm->Execute(Caption, Text, Buttons, Confirms);
}

int ChooseActionNoConfirm(const std::string& Caption, const std::string& Text,
                          const std::vector<std::string>& Buttons) {
  return ChooseAction(Caption, Text, Buttons, std::vector<std::string>(Buttons.size()));
}
