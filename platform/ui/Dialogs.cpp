#include "platform/ui/Dialogs.h"

#include <QAbstractButton>
#include <QPointer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/rtl/AnsiText.h"
#include "platform/ui/UiText.h"

namespace {

TModalHook& Hook() {
  static TModalHook hook;
  return hook;
}

TDialogFailureReporter& Reporter() {
  static TDialogFailureReporter reporter;
  return reporter;
}

const char* KindName(TModalKind kind) {
  switch (kind) {
    case TModalKind::MessageBox: return "message box";
    case TModalKind::Form: return "form";
    case TModalKind::FileDialog: return "file dialog";
    case TModalKind::FolderDialog: return "folder dialog";
  }
  return "dialog";
}

bool Contains(const std::vector<TModalResult>& results, TModalResult r) {
  return std::find(results.begin(), results.end(), r) != results.end();
}

QString WithoutAccelerators(QString text) {
  // "&&" stands for a literal ampersand; a single '&' only marks the accelerator.
  text.replace(QStringLiteral("&&"), QStringLiteral("\x01"));
  text.remove(QLatin1Char('&'));
  text.replace(QLatin1Char('\x01'), QLatin1Char('&'));
  return text;
}

}  // namespace

std::string TModalInfo::Describe() const {
  std::string s = KindName(Kind);
  s += " '" + Id + "', caption \"" + AnsiToUtf8(Caption) + "\"";
  if (!Text.empty()) s += ", text \"" + AnsiToUtf8(Text) + "\"";
  if (!Buttons.empty()) {
    s += ", buttons";
    for (const auto& b : Buttons) s += " [" + AnsiToUtf8(b) + "]";
  }
  return s;
}

TModalInfo FormInfo(const std::string& id, QDialog& dialog) {
  TModalInfo info{.Kind = TModalKind::Form, .Id = id, .Caption = FromQStringLossy(dialog.windowTitle())};
  for (QAbstractButton* button : dialog.findChildren<QAbstractButton*>())
    info.Buttons.push_back(FromQStringLossy(WithoutAccelerators(button->text())));
  return info;
}

TModalResult ShowModal(QDialog& form, const std::string& id) { return ExecModal(form, FormInfo(id, form)); }

TModalHook SetModalHook(TModalHook hook) {
  TModalHook previous = std::move(Hook());
  Hook() = std::move(hook);
  return previous;
}

bool ModalHookInstalled() { return static_cast<bool>(Hook()); }

TDialogFailureReporter SetDialogFailureReporter(TDialogFailureReporter reporter) {
  TDialogFailureReporter previous = std::move(Reporter());
  Reporter() = std::move(reporter);
  return previous;
}

void ReportDialogFailure(const std::string& message) {
  if (Reporter()) {
    Reporter()(message);
    return;
  }
  std::fprintf(stderr, "Modal dialog failure: %s\n", message.c_str());
  std::abort();
}

TModalResult ExecModal(QDialog& dialog, const TModalInfo& info) {
  if (!Hook()) return dialog.exec();

  // The hook may replace itself (a nested script), so the call runs on a copy.
  TModalHook hook = Hook();
  QPointer<QDialog> guard(&dialog);
  bool finished = false;
  TModalResult finishedResult = mrNone;
  // Disconnected on every way out, an exception from the hook included: the slot refers to locals.
  struct TScopedConnection {
    QMetaObject::Connection Connection;
    ~TScopedConnection() { QObject::disconnect(Connection); }
  } connection{QObject::connect(&dialog, &QDialog::finished, [&](int r) {
    finished = true;
    finishedResult = r;
  })};
  dialog.setResult(0);
  dialog.show();
  std::optional<TModalResult> answer = hook(info, dialog);
  if (!guard) {
    ReportDialogFailure("the answer destroyed the " + info.Describe());
    return mrCancel;
  }
  if (answer) {
    if (dialog.isVisible()) dialog.done(*answer);
    return *answer;
  }
  if (finished) return finishedResult;
  if (!dialog.isVisible()) return dialog.result();  // hidden without a result: as a closed loop gives
  ReportDialogFailure("the answer left open the " + info.Describe());
  dialog.done(QDialog::Rejected);
  return mrCancel;
}

std::optional<TModalResult> NeutralAnswer(const TModalInfo& info, QDialog& dialog) {
  if (info.Kind == TModalKind::MessageBox && !info.Results.empty()) {
    if (Contains(info.Results, mrCancel)) return mrCancel;
    if (Contains(info.Results, mrNo)) return mrNo;
    return info.Results.back();
  }
  dialog.reject();
  return std::nullopt;
}

TModalHook StrictModalHook() {
  return [](const TModalInfo& info, QDialog& dialog) {
    ReportDialogFailure("unexpected " + info.Describe());
    return NeutralAnswer(info, dialog);
  };
}

bool ClickButton(QWidget& widget, const std::string& caption) {
  const QString wanted = ToQString(caption);
  for (QAbstractButton* button : widget.findChildren<QAbstractButton*>()) {
    if (WithoutAccelerators(button->text()) == wanted && button->isEnabled()) {
      button->click();
      return true;
    }
  }
  ReportDialogFailure("no enabled button \"" + AnsiToUtf8(caption) + "\" in " +
                      widget.metaObject()->className());
  return false;
}

TDialogScript::TDialogScript() {
  FPrevious = SetModalHook([this](const TModalInfo& info, QDialog& dialog) { return Answer(info, dialog); });
}

TDialogScript::~TDialogScript() {
  SetModalHook(std::move(FPrevious));
  for (const auto& e : FExpected) {
    std::string what = "expected dialog '" + e.Id + "'";
    if (e.Caption) what += ", caption \"" + AnsiToUtf8(*e.Caption) + "\"";
    if (e.Text) what += ", text \"" + AnsiToUtf8(*e.Text) + "\"";
    ReportDialogFailure(what + " never appeared");
  }
}

TDialogScript& TDialogScript::ExpectMessageBox(const std::string& caption, const std::string& text,
                                               TModalResult answer) {
  FExpected.push_back({"MessageBox", caption, text,
                       [answer](const TModalInfo& info, QDialog& dialog) -> std::optional<TModalResult> {
                         if (Contains(info.Results, answer)) return answer;
                         ReportDialogFailure("the answer " + std::to_string(answer) +
                                             " is no button of the " + info.Describe());
                         return NeutralAnswer(info, dialog);
                       }});
  return *this;
}

TDialogScript& TDialogScript::ExpectDialog(const std::string& id, TAction action,
                                           std::optional<std::string> caption) {
  FExpected.push_back({id, std::move(caption), std::nullopt, std::move(action)});
  return *this;
}

TDialogScript& TDialogScript::ExpectDialogClick(const std::string& id, const std::string& buttonCaption) {
  return ExpectDialog(id, [buttonCaption](const TModalInfo&, QDialog& dialog) -> std::optional<TModalResult> {
    ClickButton(dialog, buttonCaption);
    return std::nullopt;
  });
}

std::optional<TModalResult> TDialogScript::Answer(const TModalInfo& info, QDialog& dialog) {
  FSeen.push_back(info);
  if (FExpected.empty()) {
    ReportDialogFailure("unexpected " + info.Describe());
    return NeutralAnswer(info, dialog);
  }
  // Taken off the list before acting: the action may open further dialogs that the next
  // expectations answer.
  TExpectation e = std::move(FExpected.front());
  FExpected.pop_front();
  if (e.Id != info.Id || (e.Caption && *e.Caption != info.Caption) || (e.Text && *e.Text != info.Text)) {
    std::string expected = "'" + e.Id + "'";
    if (e.Caption) expected += ", caption \"" + AnsiToUtf8(*e.Caption) + "\"";
    if (e.Text) expected += ", text \"" + AnsiToUtf8(*e.Text) + "\"";
    ReportDialogFailure("expected " + expected + " but got the " + info.Describe());
    return NeutralAnswer(info, dialog);
  }
  return e.Action(info, dialog);
}
