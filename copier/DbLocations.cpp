#include "copier/DbLocations.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "copier/DataLinks.h"
#include "foundation/DialogIcons.h"
#include "foundation/ShellBrowse.h"
#include "platform/ado/Ado.h"
#include "platform/bde/Bde.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/FileDialogs.h"
#include "platform/ui/UiText.h"

namespace {

const char* const kCharacterSets[] = {"NONE",     "ASCII",     "BIG_5",   "CYRL",      "DOS437",  "DOS850",
                                      "DOS852",   "DOS857",    "DOS860",  "DOS861",    "DOS863",  "DOS865",
                                      "EUCJ_0208", "GB_2312",  "ISO8859", "KSC_5601",  "NEXT",    "OCTETS",
                                      "SJIS_0208", "UNICODE_FSS", "WIN1250", "WIN1251", "WIN1252", "WIN1253",
                                      "WIN1254"};

QLabel* NewLabel(const std::string& text, QWidget* parent) {
  auto* label = new QLabel(ToQString(text), parent);
  label->setWordWrap(true);
  return label;
}

// An edit that takes the row's spare width, with its button beside it.
QHBoxLayout* EditWithButton(QWidget* edit, QPushButton* button) {
  auto* row = new QHBoxLayout;
  row->addWidget(edit, 1);
  row->addWidget(button);
  return row;
}

std::string Text(const QLineEdit* edit) { return FromQStringLossy(edit->text()); }
std::string Text(const QComboBox* box) { return FromQStringLossy(box->currentText()); }
std::string Text(const QPlainTextEdit* memo) { return FromQStringLossy(memo->toPlainText()); }

}  // namespace

TDbLocationFrame::TDbLocationFrame(QWidget* parent) : QFrame(parent) {
  // Widgets are created in the order Tab visits them.
  CreateAccessTypes();
  BuildOdbcPage();
  BuildInterBasePage();
  BuildParadoxPage();
  BuildAliasPage();
  for (QWidget* page : {OLEDBPage, IBPage, PDOXPage, BDEPage}) EnginePages->addWidget(page);
  QGroupBox* marks = BuildQuoteMarks();
  LayOutFrame(marks);
  // The frame opens on the ODBC page with the default quote marks: the handlers, which would set
  // the page's own marks, are connected after.
  UseOLEDB->setChecked(true);
  EnginePages->setCurrentWidget(OLEDBPage);
  ConnectHandlers();
}

void TDbLocationFrame::CreateAccessTypes() {
  DialogIcon1 = new TDialogIcon(this);
  Label16 = NewLabel("Укажите тип доступа к содержимому базы данных:"_ansi, this);
  UseOLEDB = new QRadioButton(ToQString("Microsoft &OLE DB"_ansi), this);
  UseIB = new QRadioButton(ToQString("&InterBase"_ansi), this);
  UsePDOX = new QRadioButton(ToQString("Драйвер &PARADOX"_ansi), this);
  UseBDE = new QRadioButton(ToQString("Псевдоним &BDE"_ansi), this);
  auto* group = new QButtonGroup(this);
  for (QRadioButton* b : {UseOLEDB, UseIB, UsePDOX, UseBDE}) group->addButton(b);
  EnginePages = new QStackedWidget(this);
  EnginePages->setFocusPolicy(Qt::NoFocus);
}

void TDbLocationFrame::BuildOdbcPage() {
  OLEDBPage = new QWidget;
  OLEDBConnectionString = new QPlainTextEdit(OLEDBPage);
  OLEDBConnectionString->installEventFilter(this);
  OLEDBConnectionString->setTabChangesFocus(true);
  OLEDBConnectionStringBuild = new QPushButton(ToQString("&Построить..."_ansi), OLEDBPage);
  OLEDBUser = new QLineEdit(OLEDBPage);
  OLEDBPassword = new QLineEdit(OLEDBPage);
  OLEDBPassword->setEchoMode(QLineEdit::Password);
  OLEDBConfirm = new QLineEdit(OLEDBPage);
  OLEDBConfirm->setEchoMode(QLineEdit::Password);
  auto* v = new QVBoxLayout(OLEDBPage);
  auto* label = NewLabel("&Строка соединения:"_ansi, OLEDBPage);
  label->setBuddy(OLEDBConnectionString);
  v->addWidget(label);
  auto* row = new QHBoxLayout;
  row->addWidget(OLEDBConnectionString, 1);
  row->addWidget(OLEDBConnectionStringBuild, 0, Qt::AlignTop);
  v->addLayout(row, 1);
  auto* f = new QFormLayout;
  f->addRow(ToQString("Пользователь:"_ansi), OLEDBUser);
  f->addRow(ToQString("Пароль:"_ansi), OLEDBPassword);
  f->addRow(ToQString("Подтверждение:"_ansi), OLEDBConfirm);
  v->addLayout(f);
}

void TDbLocationFrame::BuildInterBasePage() {
  IBPage = new QWidget;
  IBServer = new QLineEdit(IBPage);
  IBProtocol = new QComboBox(IBPage);
  IBProtocol->addItems({QStringLiteral("TCP"), QStringLiteral("NamedPipe"), QStringLiteral("SPX")});
  IBDatabase = new QLineEdit(IBPage);
  IBDatabaseBrowse = new QPushButton(ToQString("&Обзор..."_ansi), IBPage);
  IBUser = new QLineEdit(QStringLiteral("SYSDBA"), IBPage);
  IBPassword = new QLineEdit(QStringLiteral("quillcart"), IBPage);
  IBPassword->setEchoMode(QLineEdit::Password);
  IBConfirm = new QLineEdit(QStringLiteral("quillcart"), IBPage);
  IBConfirm->setEchoMode(QLineEdit::Password);
  IBSQLRole = new QLineEdit(IBPage);
  IBCType = new QComboBox(IBPage);
  IBCType->setEditable(true);
  IBCType->setInsertPolicy(QComboBox::NoInsert);  // Return presses Next; it adds no entry
  for (const char* cs : kCharacterSets) IBCType->addItem(QString::fromLatin1(cs));
  IBCType->setCurrentText(QStringLiteral("WIN1251"));
  auto* f = new QFormLayout(IBPage);
  f->addRow(ToQString("Сервер:"_ansi), IBServer);
  f->addRow(ToQString("Протокол:"_ansi), IBProtocol);
  f->addRow(ToQString("База данных:"_ansi), EditWithButton(IBDatabase, IBDatabaseBrowse));
  f->addRow(ToQString("Пользователь:"_ansi), IBUser);
  f->addRow(ToQString("Пароль:"_ansi), IBPassword);
  f->addRow(ToQString("Подтверждение:"_ansi), IBConfirm);
  f->addRow(ToQString("Роль SQL:"_ansi), IBSQLRole);
  f->addRow(ToQString("Кодировка:"_ansi), IBCType);
}

void TDbLocationFrame::BuildParadoxPage() {
  PDOXPage = new QWidget;
  PDOXFolder = new QLineEdit(PDOXPage);
  PDOXFolderBrowse = new QPushButton(ToQString("Об&зор..."_ansi), PDOXPage);
  auto* v = new QVBoxLayout(PDOXPage);
  v->addWidget(NewLabel("Введите полное название папки, в которой расположена база данных:"_ansi, PDOXPage));
  v->addLayout(EditWithButton(PDOXFolder, PDOXFolderBrowse));
  v->addStretch(1);
}

void TDbLocationFrame::BuildAliasPage() {
  BDEPage = new QWidget;
  BDEAlias = new QComboBox(BDEPage);
  BDEAlias->setEditable(true);
  BDEAlias->setInsertPolicy(QComboBox::NoInsert);  // the entries are the session's aliases only
  BDEAliasRefresh = new QPushButton(ToQString("Об&новить"_ansi), BDEPage);
  BDEUser = new QLineEdit(BDEPage);
  BDEPassword = new QLineEdit(BDEPage);
  BDEPassword->setEchoMode(QLineEdit::Password);
  BDEConfirm = new QLineEdit(BDEPage);
  BDEConfirm->setEchoMode(QLineEdit::Password);
  auto* v = new QVBoxLayout(BDEPage);
  v->addWidget(NewLabel("Выберите псевдоним BDE, который следует использовать для доступа к содержимому базы данных:"_ansi, BDEPage));
  v->addLayout(EditWithButton(BDEAlias, BDEAliasRefresh));
  v->addWidget(NewLabel("Введите идентификационную информацию, которую следует использовать при подключении к данным:"_ansi, BDEPage));
  auto* f = new QFormLayout;
  f->addRow(ToQString("Пользователь:"_ansi), BDEUser);
  f->addRow(ToQString("Пароль:"_ansi), BDEPassword);
  f->addRow(ToQString("Подтверждение:"_ansi), BDEConfirm);
  v->addLayout(f);
  v->addStretch(1);
}

QGroupBox* TDbLocationFrame::BuildQuoteMarks() {
  auto* marks = new QGroupBox(this);
  Label2 = NewLabel("Заключать имена в кавычки:"_ansi, marks);
  LeftMark = new QLineEdit(QStringLiteral("\""), marks);
  RightMark = new QLineEdit(QStringLiteral("\""), marks);
  for (QLineEdit* e : {LeftMark, RightMark}) e->setMaximumWidth(60);
  auto* grid = new QGridLayout(marks);
  grid->addWidget(Label2, 0, 0, 1, 5);
  // Short captions on one line each; the edits give way first (a mark is a character or two).
  grid->addWidget(new QLabel(ToQString("Левая кавычка:"_ansi), marks), 1, 0);
  grid->addWidget(LeftMark, 1, 1);
  grid->addWidget(new QLabel(ToQString("Правая кавычка:"_ansi), marks), 1, 2);
  grid->addWidget(RightMark, 1, 3);
  grid->setColumnStretch(4, 1);
  return marks;
}

void TDbLocationFrame::LayOutFrame(QGroupBox* marks) {
  auto* top = new QVBoxLayout(this);
  auto* heading = new QHBoxLayout;
  heading->addWidget(DialogIcon1, 0, Qt::AlignTop);
  heading->addWidget(Label16, 1);
  top->addLayout(heading);
  auto* radios = new QGridLayout;
  radios->addWidget(UseOLEDB, 0, 0);
  radios->addWidget(UseIB, 0, 1);
  radios->addWidget(UsePDOX, 1, 0);
  radios->addWidget(UseBDE, 1, 1);
  top->addLayout(radios);
  top->addWidget(EnginePages, 1);
  top->addWidget(marks);
}

void TDbLocationFrame::ConnectHandlers() {
  for (QRadioButton* b : {UseOLEDB, UseIB, UsePDOX, UseBDE})
    connect(b, &QRadioButton::toggled, this, [this](bool on) {
      if (on) UseOLEDBClick();
    });
  connect(IBServer, &QLineEdit::textChanged, this, [this] { IBServerChange(); });
  connect(IBDatabaseBrowse, &QPushButton::clicked, this, [this] { IBDatabaseBrowseClick(); });
  connect(PDOXFolderBrowse, &QPushButton::clicked, this, [this] { PDOXFolderBrowseClick(); });
  connect(BDEAliasRefresh, &QPushButton::clicked, this, [this] { BDEAliasRefreshClick(); });
  connect(OLEDBConnectionStringBuild, &QPushButton::clicked, this, [this] { OLEDBConnectionStringBuildClick(); });
}

void TDbLocationFrame::SetHeading(const std::string& text) { Label16->setText(ToQString(text)); }

bool TDbLocationFrame::eventFilter(QObject* watched, QEvent* event) {
  // Enter in the connection string does not break the line: it reaches the window's default button.
  if (watched == OLEDBConnectionString && event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
      event->ignore();
      return true;
    }
  }
  return QFrame::eventFilter(watched, event);
}

void TDbLocationFrame::LocationError(QWidget* control, const std::string& message) {
  if (control) control->setFocus();
  throw Exception("ВНИМАНИЕ! "_ansi + message);
}

IConnParamsPtr TDbLocationFrame::GetLocation() {
  QWidget* page = EnginePages->currentWidget();
  IConnParamsPtr params;
  const std::string mismatch = "Подтверждение пароля не совпадает с паролем"_ansi;
  if (page == OLEDBPage) {
    if (Trim(Text(OLEDBConnectionString)).empty()) LocationError(OLEDBConnectionString, "Не задана строка соединения"_ansi);
    if (Text(OLEDBConfirm) != Text(OLEDBPassword)) LocationError(OLEDBConfirm, mismatch);
    params = CreateConnParams({"ENGINE", "OLEDB", "CONNECTIONSTRING", Trim(Text(OLEDBConnectionString)), "USER",
                               Trim(Text(OLEDBUser)), "PASSWORD", Text(OLEDBPassword)});
  } else if (page == IBPage) {
    if (Trim(Text(IBDatabase)).empty()) LocationError(IBDatabase, "Не задана база данных"_ansi);
    if (Text(IBConfirm) != Text(IBPassword)) LocationError(IBConfirm, mismatch);
    params = CreateConnParams({"ENGINE", "IB", "SERVER", Trim(Text(IBServer)), "PROTOCOL", Trim(Text(IBProtocol)),
                               "DATABASE", Trim(Text(IBDatabase)), "USER", Trim(Text(IBUser)), "PASSWORD",
                               Text(IBPassword), "SQLROLE", Trim(Text(IBSQLRole)), "CTYPE", Trim(Text(IBCType))});
  } else if (page == PDOXPage) {
    if (Trim(Text(PDOXFolder)).empty())
      LocationError(PDOXFolder, "Не задана папка, в которой расположена база данных."_ansi);
    params = CreateConnParams({"ENGINE", "PDOX", "FOLDER", Trim(Text(PDOXFolder))});
  } else if (page == BDEPage) {
    if (Trim(Text(BDEAlias)).empty())
      LocationError(BDEAlias, "Не выбран псевдоним BDE, который следует использовать для доступа к базе данных."_ansi);
    if (Text(BDEConfirm) != Text(BDEPassword)) LocationError(BDEConfirm, mismatch);
    params = CreateConnParams({"ENGINE", "BDE", "ALIAS", Trim(Text(BDEAlias)), "USER", Trim(Text(BDEUser)), "PASSWORD",
                               Text(BDEPassword)});
  } else {
    throw Exception("ВНИМАНИЕ! Не задан тип доступа к данным"_ansi);
  }
  params->SetValue("LEFTQUOTEMARK", Text(LeftMark));
  params->SetValue("RIGHTQUOTEMARK", Text(RightMark));
  return params;
}

void TDbLocationFrame::Check(QRadioButton* button) { button->setChecked(true); }

bool TDbLocationFrame::SetLocation(IConnParams* params) {
  IBServerChange();
  if (!params) {
    Check(UsePDOX);
    return false;
  }
  try {
    auto value = [params](const char* key) { return GetConnParam(params, key, ""); };
    switch (IndexOfText(value("ENGINE"), {"OLEDB", "IB", "PDOX", "BDE"})) {
      case 0:
        OLEDBConnectionString->setPlainText(ToQString(value("CONNECTIONSTRING")));
        OLEDBUser->setText(ToQString(value("USER")));
        OLEDBPassword->setText(ToQString(value("PASSWORD")));
        Check(UseOLEDB);
        break;
      case 1:
        IBServer->setText(ToQString(value("SERVER")));
        IBProtocol->setCurrentIndex(IBProtocol->findText(ToQString(value("PROTOCOL"))));
        IBDatabase->setText(ToQString(value("DATABASE")));
        IBUser->setText(ToQString(value("USER")));
        IBPassword->setText(ToQString(value("PASSWORD")));
        IBSQLRole->setText(ToQString(value("SQLROLE")));
        IBCType->setCurrentText(ToQString(value("CTYPE")));
        Check(UseIB);
        break;
      case 2:
        PDOXFolder->setText(ToQString(value("FOLDER")));
        Check(UsePDOX);
        break;
      case 3:
        BDEAlias->setCurrentText(ToQString(value("ALIAS")));
        BDEUser->setText(ToQString(value("USER")));
        BDEPassword->setText(ToQString(value("PASSWORD")));
        Check(UseBDE);
        break;
      default:
        throw Exception("ВНИМАНИЕ! Не извеcтен тип базы"_ansi);
    }
    LeftMark->setText(ToQString(GetConnParam(params, "LEFTQUOTEMARK", "\"")));
    RightMark->setText(ToQString(GetConnParam(params, "RIGHTQUOTEMARK", "\"")));
    return true;
  } catch (...) {
    Check(UsePDOX);
    return false;
  }
}

void TDbLocationFrame::UseOLEDBClick() {
  LeftMark->setText(QStringLiteral("\""));
  RightMark->setText(QStringLiteral("\""));
  if (UseOLEDB->isChecked()) {
    LeftMark->setText(QStringLiteral("["));
    RightMark->setText(QStringLiteral("]"));
    EnginePages->setCurrentWidget(OLEDBPage);
  } else if (UseIB->isChecked()) {
    EnginePages->setCurrentWidget(IBPage);
  } else if (UsePDOX->isChecked()) {
    EnginePages->setCurrentWidget(PDOXPage);
  } else if (UseBDE->isChecked()) {
    EnginePages->setCurrentWidget(BDEPage);
    if (BDEAlias->count() == 0) BDEAliasRefreshClick();
  }
}

void TDbLocationFrame::IBServerChange() {
  const bool remote = !Trim(Text(IBServer)).empty();
  if (remote) {
    IBProtocol->setCurrentIndex(0);
  } else {
    IBProtocol->setCurrentIndex(-1);
  }
  IBProtocol->setEnabled(remote);
  IBDatabaseBrowse->setEnabled(!remote);
}

void TDbLocationFrame::IBDatabaseBrowseClick() {
  TOpenDialog dialog;
  dialog.DefaultExt = "gdb";
  dialog.Filter = "Базы данных InterBase (*.gdb;*.fdb)|*.gdb;*.fdb|Все файлы (*.*)|*.*"_ansi;
  dialog.Options = ofHideReadOnly | ofPathMustExist | ofFileMustExist | ofEnableSizing;
  dialog.FileName = Text(IBDatabase);
  if (dialog.Execute(this)) IBDatabase->setText(ToQString(dialog.FileName));
}

bool SelectFolder(const std::string& title, std::string& folder, QWidget* owner) {
  TShellBrowseDialog dialog(owner);
  dialog.Title = title;
  dialog.Flags = (1 << sbFileSysDirs) | (1 << sbDisableNetwork);
  dialog.Folder = folder;
  if (!dialog.Execute()) return false;
  folder = dialog.Folder;
  return true;
}

void TDbLocationFrame::PDOXFolderBrowseClick() {
  std::string folder = Trim(Text(PDOXFolder));
  if (SelectFolder("Выберите папку, в которой расположена база данных:"_ansi, folder, this))
    PDOXFolder->setText(ToQString(folder));
}

void TDbLocationFrame::BDEAliasRefreshClick() {
  const std::string remembered = Text(BDEAlias);
  const int index = BDEAlias->currentIndex();
  const std::vector<std::string> names = GetBdeAliases();
  BDEAlias->clear();
  int found = -1;
  for (std::size_t i = 0; i < names.size(); ++i) {
    BDEAlias->addItem(ToQString(names[i]));
    if (AnsiSameText(names[i], remembered)) found = static_cast<int>(i);
  }
  BDEAlias->setCurrentIndex(found >= 0 ? found : index);
  if (found < 0 && index < 0) BDEAlias->setCurrentText(ToQString(remembered));
}

void TDbLocationFrame::OLEDBConnectionStringBuildClick() {
  const std::string text = Trim(Text(OLEDBConnectionString));
  const std::string result = Trim(PromptOleDbConnection(this, text));
  if (result != text) OLEDBConnectionString->setPlainText(ToQString(result));
}

std::string PromptOleDbConnection(QWidget* parent, const std::string& initString) {
  std::vector<TOdbcDriver> drivers;
  std::vector<TOdbcDataSource> dataSources;
  try {
    drivers = OdbcDrivers();
    dataSources = OdbcDataSources();
  } catch (const EAdoError&) {
    throw Exception("Ошибка создания объекта OLEDB"_ansi);
  }
  TDataLinkForm form(parent, drivers, dataSources);
  form.SetConnectionString(initString);
  if (ExecModal(form, FormInfo("TDataLinkForm", form)) != mrOk) return initString;
  return form.ConnectionString();
}

int IndexOfText(const std::string& text, const std::vector<std::string>& list) {
  for (std::size_t i = 0; i < list.size(); ++i)
    if (SameText(list[i], text)) return static_cast<int>(i);
  return static_cast<int>(list.size());
}

std::vector<std::string> GetBdeAliases() {
  TStringList list;
  bde::Session().GetAliasNames(list);
  std::vector<std::string> names;
  for (int i = 0; i < list.Count(); ++i) names.push_back(list.Strings(i));
  return names;
}
