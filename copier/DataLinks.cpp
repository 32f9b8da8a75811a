#include "copier/DataLinks.h"

#include <sql.h>
#include <sqlext.h>

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

// --- connection strings --------------------------------------------------------------------

TOdbcPairs ParseOdbcConnectionString(const std::string& text) {
  TOdbcPairs pairs;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ';' || static_cast<unsigned char>(text[i]) <= 32)) ++i;
    if (i >= text.size()) break;
    std::size_t eq = text.find('=', i);
    std::size_t semi = text.find(';', i);
    if (eq == std::string::npos || (semi != std::string::npos && semi < eq)) {
      // A piece without "=": kept as a key with no value.
      std::string key = Trim(text.substr(i, semi == std::string::npos ? std::string::npos : semi - i));
      if (!key.empty()) pairs.emplace_back(key, "");
      i = semi == std::string::npos ? text.size() : semi + 1;
      continue;
    }
    std::string key = Trim(text.substr(i, eq - i));
    i = eq + 1;
    while (i < text.size() && text[i] == ' ') ++i;
    std::string value;
    if (i < text.size() && text[i] == '{') {
      ++i;
      while (i < text.size()) {
        if (text[i] == '}') {
          if (i + 1 < text.size() && text[i + 1] == '}') {
            value += '}';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        value += text[i++];
      }
      while (i < text.size() && text[i] != ';') ++i;
    } else {
      std::size_t end = text.find(';', i);
      value = TrimRight(text.substr(i, end == std::string::npos ? std::string::npos : end - i));
      i = end == std::string::npos ? text.size() : end;
    }
    pairs.emplace_back(key, value);
  }
  return pairs;
}

std::string BuildOdbcConnectionString(const TOdbcPairs& pairs) {
  std::string out;
  for (const auto& [key, value] : pairs) {
    if (key.empty()) continue;
    if (!out.empty()) out += ';';
    out += key;
    out += '=';
    const bool braces = value.find_first_of(";{}=") != std::string::npos ||
                        (!value.empty() && (value.front() == ' ' || value.back() == ' '));
    if (!braces) {
      out += value;
      continue;
    }
    out += '{';
    for (char c : value) {
      out += c;
      if (c == '}') out += '}';
    }
    out += '}';
  }
  return out;
}

// --- the ODBC manager's catalogue ---------------------------------------------------------

namespace {

std::string FromWide(const SQLWCHAR* text, SQLSMALLINT length) {
  std::u16string s;
  for (SQLSMALLINT i = 0; i < length && text[i]; ++i) s += static_cast<char16_t>(text[i]);
  return Utf16ToAnsi(s);
}

}  // namespace

TOdbcCatalog ReadOdbcCatalog() {
  SQLHENV env = SQL_NULL_HENV;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env)))
    throw Exception("Ошибка создания объекта OLEDB"_ansi);
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  TOdbcCatalog catalog;
  SQLWCHAR name[512], attrs[2048];
  SQLSMALLINT nameLen = 0, attrsLen = 0;
  SQLUSMALLINT direction = SQL_FETCH_FIRST;
  while (SQL_SUCCEEDED(SQLDriversW(env, direction, name, 512, &nameLen, attrs, 2048, &attrsLen))) {
    catalog.Drivers.push_back(FromWide(name, nameLen));
    direction = SQL_FETCH_NEXT;
  }
  direction = SQL_FETCH_FIRST;
  while (SQL_SUCCEEDED(SQLDataSourcesW(env, direction, name, 512, &nameLen, attrs, 2048, &attrsLen))) {
    catalog.DataSources.push_back(FromWide(name, nameLen));
    direction = SQL_FETCH_NEXT;
  }
  SQLFreeHandle(SQL_HANDLE_ENV, env);
  return catalog;
}

// --- the dialog ------------------------------------------------------------------------------

namespace {

// Keys the dialog edits in its own fields; the rest go to the free list.
bool IsKey(const std::string& key, std::initializer_list<const char*> names) {
  for (const char* n : names)
    if (SameText(key, n)) return true;
  return false;
}

}  // namespace

TDataLinkForm::TDataLinkForm(QWidget* parent, const TOdbcCatalog& catalog) : QDialog(parent) {
  setWindowTitle(ToQString("Свойства связи с данными"_ansi));
  cbSource = new QComboBox(this);
  cbSource->setEditable(true);
  for (const auto& d : catalog.Drivers) cbSource->addItem(ToQString("DRIVER={" + d + "}"));
  for (const auto& s : catalog.DataSources) cbSource->addItem(ToQString("DSN=" + s));
  edServer = new QLineEdit(this);
  edPort = new QLineEdit(this);
  edDatabase = new QLineEdit(this);
  btnDatabaseBrowse = new QPushButton(ToQString("Обзор..."_ansi), this);
  edUser = new QLineEdit(this);
  edPassword = new QLineEdit(this);
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
    if (SameText(key, "DRIVER")) cbSource->setEditText(ToQString("DRIVER={" + value + "}"));
    else if (SameText(key, "DSN")) cbSource->setEditText(ToQString("DSN=" + value));
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
