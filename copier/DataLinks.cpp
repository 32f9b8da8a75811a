#include "copier/DataLinks.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "platform/rtl/SysUtils.h"
#include "platform/ui/DialogButtons.h"
#include "platform/ui/FileDialogs.h"
#include "platform/ui/UiText.h"

namespace {

// Keys the dialog edits in its own fields; the rest go to the free list.
bool IsKey(const std::string& key, std::initializer_list<const char*> names) {
  for (const char* n : names)
    if (SameText(key, n)) return true;
  return false;
}

}  // namespace

TDataLinkForm::TDataLinkForm(QWidget* parent, const std::vector<TOdbcDriver>& drivers,
                             const std::vector<TOdbcDataSource>& dataSources)
    : QDialog(parent) {
  setWindowTitle(ToQString("Свойства связи с данными"_ansi));
  cbSource = new QComboBox(this);
  cbSource->setEditable(true);
  for (const auto& d : drivers) cbSource->addItem(ToQString("DRIVER=" + BraceOdbcValue(d.Name)));
  for (const auto& d : dataSources) cbSource->addItem(ToQString("DSN=" + QuoteOdbcValue(d.Name)));
  edServer = new QLineEdit(this);
  edPort = new QLineEdit(this);
  edDatabase = new QLineEdit(this);
  btnDatabaseBrowse = new QPushButton(ToQString("Обзор..."_ansi), this);
  edUser = new QLineEdit(this);
  edPassword = new QLineEdit(this);
  edPassword->setEchoMode(QLineEdit::Password);
  edOther = new QPlainTextEdit(this);
  edOther->setTabChangesFocus(true);

  auto* form = new QFormLayout;
  form->addRow(ToQString("Драйвер или источник данных:"_ansi), cbSource);
  form->addRow(ToQString("Сервер:"_ansi), edServer);
  form->addRow(ToQString("Порт:"_ansi), edPort);
  auto* db = new QHBoxLayout;
  db->addWidget(edDatabase, 1);
  db->addWidget(btnDatabaseBrowse);
  form->addRow(ToQString("База данных (имя или файл):"_ansi), db);
  form->addRow(ToQString("Пользователь:"_ansi), edUser);
  form->addRow(ToQString("Пароль:"_ansi), edPassword);
  form->addRow(ToQString("Другие параметры (ключ=значение):"_ansi), edOther);

  auto* buttons = new QHBoxLayout;
  const TOkCancelButtons okCancel = AddOkCancelButtons(*this, *buttons, "OK", "Отмена"_ansi, TOkCancelKeys::OkDefault);
  btnOk = okCancel.Ok;
  btnCancel = okCancel.Cancel;
  auto* top = new QVBoxLayout(this);
  top->addLayout(form);
  top->addLayout(buttons);
  resize(460, 360);

  connect(btnDatabaseBrowse, &QPushButton::clicked, this, [this] { DatabaseBrowseClick(); });
}

void TDataLinkForm::SetConnectionString(const std::string& text) {
  std::string other;
  cbSource->setEditText(QString());
  for (const auto& [key, value] : ParseOdbcConnectionString(text)) {
    if (SameText(key, "DRIVER")) cbSource->setEditText(ToQString("DRIVER=" + BraceOdbcValue(value)));
    else if (SameText(key, "DSN")) cbSource->setEditText(ToQString("DSN=" + QuoteOdbcValue(value)));
    else if (IsKey(key, {"SERVER", "SERVERNAME", "HOST"})) edServer->setText(ToQString(value));
    else if (IsKey(key, {"PORT"})) edPort->setText(ToQString(value));
    else if (IsKey(key, {"DATABASE", "DBNAME"})) edDatabase->setText(ToQString(value));
    else if (IsKey(key, {"UID", "USER", "USERNAME"})) edUser->setText(ToQString(value));
    else if (IsKey(key, {"PWD", "PASSWORD"})) edPassword->setText(ToQString(value));
    else other += BuildOdbcConnectionString({{key, value}}) + "\n";
  }
  edOther->setPlainText(ToQString(other));
}

std::string TDataLinkForm::ConnectionString() const {
  TOdbcPairs pairs;
  const std::string source = Trim(FromQStringLossy(cbSource->currentText()));
  for (auto& p : ParseOdbcConnectionString(source)) pairs.push_back(p);
  auto add = [&pairs](const char* key, const QLineEdit* edit) {
    std::string v = Trim(FromQStringLossy(edit->text()));
    if (!v.empty()) pairs.emplace_back(key, v);
  };
  add("Server", edServer);
  add("Port", edPort);
  add("Database", edDatabase);
  add("Uid", edUser);
  if (!edPassword->text().isEmpty()) pairs.emplace_back("Pwd", FromQStringLossy(edPassword->text()));
  const std::string other = FromQStringLossy(edOther->toPlainText());
  for (size_t from = 0; from <= other.size();) {
    size_t end = std::min(other.find('\n', from), other.size());
    for (auto& p : ParseOdbcConnectionString(other.substr(from, end - from))) pairs.push_back(p);
    from = end + 1;
  }
  return BuildOdbcConnectionString(pairs);
}

void TDataLinkForm::DatabaseBrowseClick() {
  TOpenDialog dialog;
  dialog.Title = "Файл базы данных"_ansi;
  dialog.FileName = Trim(FromQStringLossy(edDatabase->text()));
  dialog.Filter = "Все файлы (*.*)|*.*"_ansi;
  dialog.Options = ofHideReadOnly | ofEnableSizing;
  if (dialog.Execute(this)) edDatabase->setText(ToQString(dialog.FileName));
}
