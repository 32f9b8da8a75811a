// The main form: the wizard's window, the building of its pages and the handlers that lead the
// user from one page to the next (the form's contract is in Main.h).
//
// Where to look first: btnNextClick accepts the page shown (AcceptSource, AcceptDestination, ...)
// and moves on with GoToPage, which skips every page whose Tag is not 0 (AcceptOptions sets the
// semantic pages' Tags, RunBaseCopy the semantic copy page's). PagesChange then acts on the page
// entered going forward: it starts a copy (RunBaseCopy, RunSemCopy, both through RunCopy), sets the
// conversion defaults for the destination's engine, or fills the summary (ShowSummary).
// UpdateButtons keeps Back, Next and Cancel in step with the page and a running copy; btnCancelClick
// and closeEvent stop a running copy before the window may close. The constructor only builds,
// one step per page; FormCreate applies a Source given on the command line.
//
// Databases are connected, a destination told from its source and the source's caption read
// through RunWaiting: on a thread of their own, so that the window stays painted while a server is
// slow to answer. The client libraries allow it (the Firebird client and the ODBC drivers are
// thread-safe, and their handles may be used later by another thread); the window takes no input
// meanwhile. A server may also never answer, so the wizard can stop waiting (Cancel, a close, a
// question past its location's connection timeout) while the thread stays held up in the client
// library (WaitingWork.h); it then forgets the database that thread was asking, so that no two
// threads ever use one database at once. The copies ask their questions the same way (CopyBases.h),
// and a database the wizard drops is let go of on a thread too (LetGo), since closing it waits for
// its server.
#include "copier/Main.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <chrono>
#include <functional>
#include <utility>

#include "copier/ConvertSettings.h"
#include "copier/CopyOrvelBases.h"
#include "copier/CopySemTables.h"
#include "copier/DbLocations.h"
#include "copier/WaitingWork.h"
#include "foundation/CommonUtils.h"
#include "foundation/DialogIcons.h"
#include "foundation/XListView.h"
#include "platform/ui/Anchors.h"
#include "platform/ui/Application.h"
#include "platform/ui/FormKeys.h"
#include "platform/ui/UiText.h"

int PrevPageIndex = 0;
TCopyOrvel* CopyOrvel = nullptr;

namespace {

// Why a destination cannot be told from a source whose connection is gone.
const std::string& SourceLostMessage() {
  return "Соединение с исходной базой данных потеряно. Вернитесь на страницу выбора исходной базы, чтобы подключиться к ней заново."_ansi;
}

QLabel* Explanation(const std::string& text, QWidget* parent) {
  auto* label = new QLabel(ToQString(text), parent);
  label->setWordWrap(true);
  return label;
}

// Gives a page one child that fills it.
void FillPage(QWidget* page, QWidget* child) {
  auto* layout = new QVBoxLayout(page);
  layout->addWidget(child);
}

// A check box with its status icon and the explanation beside it.
QCheckBox* OptionBox(const std::string& caption, const std::string& explanation, QWidget* page, QVBoxLayout* layout) {
  auto* box = new QCheckBox(ToQString(caption), page);
  auto* row = new QHBoxLayout;
  auto* icon = new TDialogIcon(page);
  row->addWidget(icon, 0, Qt::AlignTop);
  auto* column = new QVBoxLayout;
  column->addWidget(box);
  column->addWidget(Explanation(explanation, page));
  row->addLayout(column, 1);
  layout->addLayout(row);
  return box;
}

// The summary's state pictures: 0 all rows arrived (green check), 1 a warning (yellow triangle),
// 2 an error (two red exclamation marks).
QIcon StateIcon(int state) {
  if (state == 0) return QIcon(DialogIconPixmap(diDone, QColor(0x10, 0xA0, 0x20)));
  if (state == 2) return QIcon(DialogIconPixmap(diAttention));
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  QPainterPath triangle;
  triangle.moveTo(8, 0.5);
  triangle.lineTo(15.5, 15);
  triangle.lineTo(0.5, 15);
  triangle.closeSubpath();
  p.fillPath(triangle, QColor(0xF0, 0xC0, 0x10));
  p.setPen(QColor(0x60, 0x40, 0x00));
  p.drawPath(triangle);
  p.fillRect(QRectF(7, 4.5, 2, 6), Qt::black);
  p.fillRect(QRectF(7, 12, 2, 2), Qt::black);
  return QIcon(pixmap);
}

}  // namespace

TCopyOrvel::TCopyOrvel(QWidget* parent) : QWidget(parent), Details(std::make_unique<TStringList>()) {
  setWindowTitle(ToQString("Копирование базы данных Гис Орвел"_ansi));
  // A fixed-size window: the window manager offers no maximise button and no resizing.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  // The steps run in the order Tab visits what they create.
  CreatePages();
  BuildLocationPages();
  BuildOptionsPage();
  BuildConvertOptionsPage();
  BuildCopyPages();
  BuildSummaryPage();
  BuildNavigation();
  FormCreate();
}

void TCopyOrvel::CreatePages() {
  Pages = new QStackedWidget(this);
  auto page = [this](const std::string& caption) {
    auto* p = new TWizardPage(caption, Pages);
    Pages->addWidget(p);
    return p;
  };
  pSourceBase = page("Что копировать"_ansi);
  pDestBase = page("Куда копировать"_ansi);
  pOptions = page("Опций"_ansi);
  pSrcSemTables = page("Откуда копировать"_ansi);
  pDstSemTables = page("Куда копировать"_ansi);
  pConvertOptions = page("Опции конвертации"_ansi);
  pCopyBase = page("Копирование базы"_ansi);
  pCopySemTable = page("Копирование семантики"_ansi);
  pStop = page("Работа завершена"_ansi);
}

void TCopyOrvel::BuildLocationPages() {
  SrcDbLocation = new TDbLocationFrame(pSourceBase);
  FillPage(pSourceBase, SrcDbLocation);
  DstDbLocation = new TDbLocationFrame(pDestBase);
  FillPage(pDestBase, DstDbLocation);
  SrcSemDbLocation = new TDbLocationFrame(pSrcSemTables);
  SrcSemDbLocation->SetHeading("Укажите тип доступа к семантическим таблицам"_ansi);
  FillPage(pSrcSemTables, SrcSemDbLocation);
  DstSemLocation = new TDbLocationFrame(pDstSemTables);
  DstSemLocation->SetHeading("Укажите тип доступа к семантическим таблицам"_ansi);
  FillPage(pDstSemTables, DstSemLocation);
}

void TCopyOrvel::BuildOptionsPage() {
  auto* outer = new QVBoxLayout(pOptions);
  auto* group = new QGroupBox(ToQString("Опции"_ansi), pOptions);
  auto* v = new QVBoxLayout(group);
  CopySem = OptionBox("Копировать семантику"_ansi,
                      "Если флаг установлен, то также будут копироваться семантические таблицы"_ansi, group, v);
  Unfasten = OptionBox("Независимая копия БД"_ansi,
                       "Если флаг установлен, то со скопированной базой данных можно работать как с независимой базой данных Гис Орвел, т.е. можно одновременно работать и с копией и с оригиналом"_ansi,
                       group, v);
  AutoDelete = OptionBox("Авто удаление таблиц"_ansi,
                         "Если флаг установлен, то в случае существования копируемой таблицы, она будет удалена автоматически"_ansi,
                         group, v);
  HideWarnings = OptionBox("Не показывать  предупреждения"_ansi,
                           "Если флаг установлен  то  не критические ошибки при копировании, не будут останавливать процесс"_ansi,
                           group, v);
  v->addStretch(1);
  outer->addWidget(group);
}

void TCopyOrvel::BuildConvertOptionsPage() {
  auto* v = new QVBoxLayout(pConvertOptions);
  ConvertTableNames = OptionBox("Конвертировать имена"_ansi,
                                "Если флаг установлен, то имена таблиц, полей, индексов будут преобразованны в соответствии  со стандартом ANSI-SQL"_ansi,
                                pConvertOptions, v);
  ConvertTableNames->setTristate(true);
  EditConvertNames = OptionBox("Редактировать имена"_ansi,
                               "Если флаг установлен, то будет открыто диалоговое окно для редактирования сконвертированных имен"_ansi,
                               pConvertOptions, v);
  UniqueIndexes = OptionBox("Уникальные имена индексов"_ansi,
                            "Если флаг установлен, то имена индексов будут уникальными в пределах базы данных"_ansi,
                            pConvertOptions, v);
  EditConvertNames->setEnabled(false);
  UniqueIndexes->setEnabled(false);
  Settings = new QPushButton(ToQString("Настройка ..."_ansi), pConvertOptions);
  // The user's clicks toggle between unchecked and checked; grayed is set by the settings only.
  connect(ConvertTableNames, &QCheckBox::clicked, this, [this] {
    if (ConvertTableNames->checkState() == Qt::PartiallyChecked) ConvertTableNames->setCheckState(Qt::Checked);
  });
  connect(ConvertTableNames, &QCheckBox::stateChanged, this, [this] { ConvertTableNamesClick(); });
  connect(Settings, &QPushButton::clicked, this, [this] { SettingsClick(); });
  v->addWidget(Settings, 0, Qt::AlignLeft);
  v->addStretch(1);
}

void TCopyOrvel::BuildCopyPages() {
  CopyBase = new TCopyOrvelBaseFrame(pCopyBase);
  FillPage(pCopyBase, CopyBase);
  CopySemTables = new TCopySemTablesFrame(pCopySemTable);
  FillPage(pCopySemTable, CopySemTables);
}

void TCopyOrvel::BuildSummaryPage() {
  DialogIcon = new TDialogIcon(pStop);
  DialogIcon->SetIcon(diAttention);
  FinishInfo = new QLabel(ToQString("Информация"_ansi), pStop);
  FinishInfo->setWordWrap(true);
  FinishInfo->setTextFormat(Qt::PlainText);
  InfoList = new TXListView(pStop);
  InfoList->setHeaderLabels({ToQString("Таблица"_ansi), ToQString("Скопировано"_ansi)});
  InfoList->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  InfoList->setEditTriggers(QAbstractItemView::NoEditTriggers);
  InfoList->SetGridLines(true);
  DetailsList = new QPlainTextEdit(pStop);
  DetailsList->setReadOnly(true);
  DetailsList->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  auto* v = new QVBoxLayout(pStop);
  auto* row = new QHBoxLayout;
  row->addWidget(DialogIcon, 0, Qt::AlignTop);
  row->addWidget(FinishInfo, 1);
  v->addLayout(row);
  v->addWidget(InfoList, 3);
  v->addWidget(DetailsList, 2);
  // The details follow the selected row; a row that is only current (the list took the focus)
  // shows nothing.
  connect(InfoList, &QTreeWidget::itemSelectionChanged, this, [this] {
    const QList<QTreeWidgetItem*> selected = InfoList->selectedItems();
    if (!selected.isEmpty()) InfoListSelectItem(selected.first());
  });
}

void TCopyOrvel::BuildNavigation() {
  btnPrev = new QPushButton(ToQString("< Назад"_ansi), this);
  btnNext = new QPushButton(ToQString("Далее >"_ansi), this);
  btnCancel = new QPushButton(ToQString("Отмена"_ansi), this);
  btnPrev->setEnabled(false);
  btnNext->setDefault(true);
  auto* line = new QFrame(this);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  setFixedSize(402, 480);
  auto* layout = new TAnchorLayout(this, QSize(402, 480));
  layout->Place(Pages, QRect(0, 0, 402, 427), akAll);
  layout->Place(line, QRect(0, 430, 402, 2), akLeft | akRight | akBottom);
  layout->Place(btnPrev, QRect(107, 441, 96, 30), akRight | akBottom);
  layout->Place(btnNext, QRect(203, 441, 95, 30), akRight | akBottom);
  layout->Place(btnCancel, QRect(302, 441, 95, 30), akRight | akBottom);

  // A plain window has no default button of its own: Return and Escape are given to it here.
  new TFormKeys(*this, btnCancel);
  connect(btnNext, &QPushButton::clicked, this, [this] { btnNextClick(); });
  connect(btnPrev, &QPushButton::clicked, this, [this] { btnPrevClick(); });
  connect(btnCancel, &QPushButton::clicked, this, [this] { btnCancelClick(); });
}

TCopyOrvel::~TCopyOrvel() {
  if (CopyOrvel == this) CopyOrvel = nullptr;
  // The connections close off this thread, so that a server that stopped answering never holds
  // the window's end; the frames let go of theirs as they go.
  ForgetDatabases();
}

int TCopyOrvel::ActivePageIndex() const { return Pages->currentIndex(); }

TWizardPage* TCopyOrvel::ActivePage() const { return static_cast<TWizardPage*>(Pages->currentWidget()); }

void TCopyOrvel::FormCreate() {
  Pages->setCurrentWidget(pSourceBase);
  std::string source;
  if (FindCmdLineValue("Source", source)) {
    try {
      IConnParamsPtr params = StrToConnParams(source);
      SrcDbLocation->SetLocation(params.get());
      QTimer::singleShot(0, this, [this] { btnNextClick(); });
    } catch (...) {
      // An unreadable location is ignored; the source page stays as it stood.
    }
  } else {
    SrcDbLocation->SetLocation(nullptr);
  }
  DstDbLocation->SetLocation(nullptr);
  SrcSemDbLocation->SetLocation(nullptr);
  DstSemLocation->SetLocation(nullptr);
  UpdateButtons(false);
}

TCopyBaseFrame* TCopyOrvel::PageFrame() const {
  if (ActivePage() == pCopyBase) return CopyBase;
  if (ActivePage() == pCopySemTable) return CopySemTables;
  return nullptr;
}

TCopyBaseFrame* TCopyOrvel::RunningFrame() const {
  if (CopyBase->State == csRunning) return CopyBase;
  if (CopySemTables->State == csRunning) return CopySemTables;
  return nullptr;
}

void TCopyOrvel::UpdateButtons(bool processMessages) {
  TWizardPage* active = ActivePage();
  btnPrev->setEnabled(!(active == pSourceBase || (active == pStop && CopyBase->State == csFinished)));
  btnNext->setEnabled(active != pStop);
  btnCancel->setEnabled(true);
  btnNext->setDefault(btnNext->isEnabled());
  btnCancel->setDefault(!btnNext->isEnabled());
  setWindowTitle(ToQString(active->Caption));
  TCopyBaseFrame* frame = PageFrame();
  if (active == pStop) {
    btnCancel->setText(ToQString("Закрыть"_ansi));
  } else if (frame && (frame->State == csReady || frame->State == csRunning)) {
    btnCancel->setText(ToQString("Остановить"_ansi));
    btnCancel->setEnabled(true);
    btnPrev->setEnabled(false);
    btnNext->setEnabled(false);
  } else if (frame) {
    btnCancel->setText(ToQString("Отмена"_ansi));
    btnCancel->setEnabled(true);
    btnPrev->setEnabled(true);
    btnNext->setEnabled(true);
  } else {
    btnCancel->setText(ToQString("Отмена"_ansi));
  }
  if (processMessages) Application->ProcessMessages();
}

void TCopyOrvel::GoToPage(bool forward) {
  const int count = Pages->count();
  int candidate = ActivePageIndex() + (forward ? 1 : -1);
  if (candidate < 0 || candidate >= count) return;
  auto tag = [this](int i) { return static_cast<TWizardPage*>(Pages->widget(i))->Tag; };
  while (tag(candidate) != 0) {
    if (forward && candidate == count - 1) break;
    const int next = candidate + (forward ? 1 : -1);
    if (next < 0 || next >= count) break;
    candidate = next;
  }
  if (tag(candidate) == 0 && candidate != ActivePageIndex()) {
    PagesChanging();
    Pages->setCurrentIndex(candidate);
    UpdateButtons(true);
    PagesChange();
  }
}

void TCopyOrvel::PagesChanging() {
  if (Pages->currentWidget()) PrevPageIndex = ActivePageIndex();
}

void TCopyOrvel::PagesChange() {
  TWizardPage* active = ActivePage();
  if (!active || ActivePageIndex() <= PrevPageIndex) return;
  if (active == pCopyBase) {
    if (CopyBase->State == csReady)
      RunBaseCopy();
    else if (CopyBase->State == csStopped && AskYesNo("Копирование не завершено, начать заново?"_ansi))
      RunBaseCopy();
  } else if (active == pCopySemTable) {
    if (CopySemTables->State == csReady)
      RunSemCopy();
    else if (CopySemTables->State == csStopped && AskYesNo("Копирование семантики не завершено, начать заново?"_ansi))
      RunSemCopy();
  } else if (active == pConvertOptions) {
    ApplyConvertDefaults();
  } else if (active == pStop) {
    ShowSummary();
  }
}

void TCopyOrvel::btnNextClick() {
  TWizardPage* active = ActivePage();
  try {
    if (active == pSourceBase)
      AcceptSource();
    else if (active == pDestBase)
      AcceptDestination();
    else if (active == pOptions)
      AcceptOptions();
    else if (active == pSrcSemTables)
      AcceptSemSource();
    else if (active == pDstSemTables)
      AcceptSemDestination();
    else
      GoToPage(true);
  } catch (const EWaitAbandoned&) {
    // Given up by the user: the page stays as it is, and nothing needs saying.
  } catch (const std::exception& e) {
    if (!FCloseRequested) ShowError(ExceptionMessage(e));
  }
  // A close asked for while a connection was being made.
  if (FCloseRequested && FRunDepth == 0 && isVisible()) close();
}

void TCopyOrvel::btnPrevClick() { GoToPage(false); }

void TCopyOrvel::RunWaiting(std::function<void(TWaitingWork&)> work) {
  auto state = std::make_shared<TWaitingWork>();
  TWaitingWork::Start(state, std::move(work));
  ++FRunDepth;
  const TWaitEnd end =
      WaitInWindow(*state, *this, {std::chrono::milliseconds(100), std::chrono::milliseconds(100), [this] { return FCloseRequested; }});
  --FRunDepth;
  IOrvDb* asked = nullptr;
  if (end != weDone && state->Abandon(asked)) {
    ForgetDatabase(asked);
    if (end == weOverdue) throw EWaitTimedOut(asked);
    throw EWaitAbandoned();
  }
  state->Rethrow();
}

void TCopyOrvel::ForgetDatabase(IOrvDb* db) {
  if (!db) return;
  for (IOrvDbPtr* held : {&SourceDb, &DestDb, &SemSourceDb, &SemDestDb})
    if (held->get() == db) LetGo(std::move(*held));
}

void TCopyOrvel::ForgetDatabases() {
  for (IOrvDbPtr* held : {&SourceDb, &DestDb, &SemSourceDb, &SemDestDb}) LetGo(std::move(*held));
}

IOrvDbPtr TCopyOrvel::Connect(IConnParams* params) {
  auto db = std::make_shared<IOrvDbPtr>();
  // A copy of the location, which nothing else holds.
  IConnParamsPtr location = StrToConnParams(ConnParamsToStr(params));
  RunWaiting([db, location](TWaitingWork&) { *db = ConnectDb(location.get(), true); });
  return *db;
}

IOrvDbPtr TCopyOrvel::ConnectDestination(IConnParams* source, IOrvDb* sourceDb, IConnParams* params,
                                         const std::string& selfCopy, IOrvDb* before, bool* asBefore) {
  if (SpelledAlike(source, params)) throw Exception(selfCopy);
  if (!sourceDb) throw Exception(SourceLostMessage());
  const std::string cannotTell =
      "Не удалось выяснить, не совпадает ли база назначения с исходной базой, поэтому копирование невозможно"_ansi;
  struct TAnswer {
    IOrvDbPtr Db;
    TSameDatabase Same = sdUnknown;
    bool AsBefore = false;
  };
  auto answer = std::make_shared<TAnswer>();
  IOrvDbPtr src(sourceDb);
  IOrvDbPtr old(asBefore ? before : nullptr);
  IConnParamsPtr location = StrToConnParams(ConnParamsToStr(params));
  // The destination accepted before is given the new one's time.
  const int32_t sourceTime = ConnectionTimeout(source);
  const int32_t time = ConnectionTimeout(params);
  // Once the work has ended, a connection made that the caller does not get is let go of.
  auto refuse = [&answer](const std::string& message) {
    LetGo(std::move(answer->Db));
    throw Exception(message);
  };
  try {
    RunWaiting([=](TWaitingWork& work) {
      answer->Db = ConnectDb(location.get(), true);
      auto asking = [&](IOrvDb* db) { work.Asking(db, db == src.get() ? sourceTime : time); };
      try {
        answer->Same = SameDatabase(src.get(), answer->Db.get(), asking);
      } catch (const EWaitAbandoned&) {
        throw;
      } catch (const std::exception&) {
        if (work.Asked() == src.get()) throw Exception(SourceLostMessage());
        throw;
      }
      if (!old || answer->Same != sdDifferent) return;
      // A connection that cannot answer any more counts as another database's.
      try {
        answer->AsBefore = SameDatabase(old.get(), answer->Db.get(), asking) == sdSame;
      } catch (const std::exception&) {
      }
    });
  } catch (const EWaitTimedOut& e) {
    if (e.Asked == sourceDb) throw Exception(SourceLostMessage());
    // The destination before that cannot answer in time counts as another database's too.
    if (!old || e.Asked != old.get()) throw Exception(cannotTell);
    *asBefore = false;
    return answer->Db;
  } catch (const EWaitAbandoned&) {
    throw;
  } catch (...) {
    LetGo(std::move(answer->Db));
    throw;
  }
  if (answer->Same == sdSame) refuse(selfCopy);
  if (answer->Same == sdUnknown) refuse(cannotTell);
  if (asBefore) *asBefore = answer->AsBefore;
  return answer->Db;
}

void TCopyOrvel::AcceptSource() {
  SourceParams = SrcDbLocation->GetLocation();
  LetGo(std::exchange(SourceDb, Connect(SourceParams.get())));
  if (!ReadDbCaption()) throw Exception("База Гис Орвел не найдена"_ansi);
  GoToPage(true);
}

void TCopyOrvel::AcceptDestination() {
  IConnParamsPtr p = DstDbLocation->GetLocation();
  bool asBefore = false;
  LetGo(std::exchange(DestDb, ConnectDestination(SourceParams.get(), SourceDb.get(), p.get(),
                                                 "Нельзя скопировать базу саму в себя"_ansi, DestDb.get(), &asBefore)));
  // Another destination than the one accepted before has both copies still to run.
  if (!asBefore) {
    CopyBase->State = csReady;
    CopySemTables->State = csReady;
  }
  DestParams = p;
  SemDestParams = StrToConnParams(ConnParamsToStr(p.get()));
  DstSemLocation->SetLocation(SemDestParams.get());
  GoToPage(true);
}

void TCopyOrvel::AcceptOptions() {
  const int tag = CopySem->isChecked() ? 0 : 1;
  for (TWizardPage* p : {pSrcSemTables, pDstSemTables, pConvertOptions}) p->Tag = tag;
  GoToPage(true);
}

bool TCopyOrvel::ReadDbCaption() {
  DbCaption.clear();
  struct TAnswer {
    bool Found = false;
    std::string Caption;
  };
  auto answer = std::make_shared<TAnswer>();
  RunWaiting([answer, db = SourceDb](TWaitingWork& work) {
    work.Asking(db.get(), 0);
    if (!db->TableExists("ORVEL_DBINFO")) return;
    IOrvDbSQLPtr sql = OpenTableSQL(db.get(), "ORVEL_DBINFO");
    if (!sql->Eof()) answer->Caption = sql->AsString(Variant("DBCAPTION"));
    sql->Close();
    answer->Found = true;
  });
  DbCaption = answer->Caption;
  return answer->Found;
}

void TCopyOrvel::RunCopy(const std::function<void()>& run) {
  ++FRunDepth;
  try {
    run();
  } catch (const EWaitAbandoned&) {
    // The copy was given up while a database kept it waiting (the waiting window's Cancel, or a
    // close): the wizard ends as after Остановить, and the databases the copy's thread may still
    // be using are never asked again.
    FCloseRequested = true;
    ForgetDatabases();
  } catch (const std::exception& e) {
    ShowError(ExceptionMessage(e));
  }
  --FRunDepth;
  UpdateButtons(true);
  if (FCloseRequested && FRunDepth == 0) close();
}

void TCopyOrvel::RunBaseCopy() {
  pCopySemTable->Tag = 1;
  RunCopy([this] {
    CopyBase->Init(Format("Копирование базы \"%s\""_ansi, {DbCaption}), SourceDb, DestDb);
    CopyBase->AutoDelete = AutoDelete->isChecked();
    CopyBase->HideWarnings = HideWarnings->isChecked();
    CopyBase->Unfasten = Unfasten->isChecked();
    CopyBase->Execute();
    if (CopyBase->State == csStopped) {
      // A user who stopped the copy to close the window has already confirmed it.
      if (!FCloseRequested) ShowError("Копирование прервано пользователем"_ansi);
    } else if (CopySem->isChecked()) {
      pCopySemTable->Tag = 0;
    }
    GoToPage(true);
  });
}

void TCopyOrvel::AcceptSemSource() {
  SemSourceParams = SrcSemDbLocation->GetLocation();
  LetGo(std::exchange(SemSourceDb, Connect(SemSourceParams.get())));
  GoToPage(true);
}

void TCopyOrvel::AcceptSemDestination() {
  SemDestParams = DstSemLocation->GetLocation();
  LetGo(std::exchange(SemDestDb, ConnectDestination(SemSourceParams.get(), SemSourceDb.get(), SemDestParams.get(),
                                                    "Нельзя скопировать сементические таблицы сама в себя"_ansi)));
  GoToPage(true);
}

void TCopyOrvel::ApplyConvertDefaults() {
  const std::string engine = GetConnParam(SemDestParams.get(), "ENGINE", "PDOX");
  auto lengths = [this](int tables, int fields, int indexes) {
    CopySemTables->TableConvert->MaxLength = tables;
    CopySemTables->FieldConvert->MaxLength = fields;
    CopySemTables->IndexConvert->MaxLength = indexes;
  };
  if (engine == "OLEDB") {
    lengths(31, 31, 31);
    ConvertTableNames->setCheckState(Qt::Checked);
    // Index names are database-wide on the usual ODBC engines, as on InterBase.
    UniqueIndexes->setChecked(true);
  } else if (engine == "IB") {
    lengths(30, 30, 30);
    ConvertTableNames->setCheckState(Qt::Checked);
    UniqueIndexes->setChecked(true);
  } else if (engine == "PDOX") {
    lengths(100, 24, 24);
  }
  ConvertTableNamesClick();
}

void TCopyOrvel::ConvertTableNamesClick() {
  const Qt::CheckState state = ConvertTableNames->checkState();
  EditConvertNames->setEnabled(state != Qt::Unchecked);
  UniqueIndexes->setEnabled(state != Qt::Unchecked);
  if (state == Qt::Unchecked)
    CopySemTables->SetConvertEnabled(false);
  else if (state == Qt::Checked)
    CopySemTables->SetConvertEnabled(true);
}

void TCopyOrvel::SettingsClick() {
  TCopySemTablesFrame& f = *CopySemTables;
  if (!ExecuteConvertOptions(f)) return;
  const int enabled = f.TableConvert->Enabled + f.FieldConvert->Enabled + f.IndexConvert->Enabled;
  ConvertTableNames->setCheckState(enabled == 3 ? Qt::Checked : enabled == 0 ? Qt::Unchecked : Qt::PartiallyChecked);
  ConvertTableNamesClick();
}

void TCopyOrvel::RunSemCopy() {
  RunCopy([this] {
    CopySemTables->InitSemCopy("Копирование семантических таблиц"_ansi, DestDb, SemSourceDb, SemDestDb);
    CopySemTables->AutoDelete = AutoDelete->isChecked();
    CopySemTables->HideWarnings = HideWarnings->isChecked();
    CopySemTables->UniqueIndexes = UniqueIndexes->isChecked();
    CopySemTables->EditConvertNames = EditConvertNames->isChecked();
    CopySemTables->Execute();
    if (CopySemTables->State == csStopped && !FCloseRequested) ShowError("Копирование прервано пользователем"_ansi);
    GoToPage(true);
  });
}

void TCopyOrvel::btnCancelClick() {
  TCopyBaseFrame* frame = PageFrame();
  if (!frame) {
    close();
    return;
  }
  if (!frame->IsLocked() && frame->State == csRunning && AskStop("Остановить копирование?"_ansi)) {
    frame->Stop();
    FCloseRequested = true;  // the window closes once the copy loop has ended
  }
}

void TCopyOrvel::closeEvent(QCloseEvent* event) {
  TCopyBaseFrame* running = RunningFrame();
  if (!running && FRunDepth == 0) {
    FCloseRequested = false;
    event->accept();
    return;
  }
  // A copy runs nested inside a handler of this window: it is stopped first, and the window closes
  // after its loop has ended, never inside it. Whatever a database still owes, that is soon: a
  // question the copy waits on past a moment is given up. A connection's wait gives up at once.
  if (running && !running->IsLocked()) running->Stop();
  for (TCopyBaseFrame* frame : std::initializer_list<TCopyBaseFrame*>{CopyBase, CopySemTables})
    frame->GiveUpWaitingIn(std::chrono::milliseconds(500));
  FCloseRequested = true;
  event->ignore();
}

void TCopyOrvel::ShowSummary() {
  InfoList->setUpdatesEnabled(false);
  InfoList->clear();
  Details->Clear();
  DetailsList->clear();  // no row is selected in the new list
  int warnings = 0, errors = 0;
  for (int i = 0; i < CopyBase->TableCount(); ++i) {
    TCopyTableInfo* item = CopyBase->GetTable(i);
    AddResultRow(item, Format("Таблица ГИС Орвел \"%s\""_ansi, {item->DstName}), warnings, errors);
  }
  for (int i = 0; i < CopySemTables->TableCount(); ++i) {
    TCopySemTableInfo* item = CopySemTables->GetItem(i);
    const std::string kind = item->IsRefBook ? "Справочник"_ansi : "Семантическая таблица"_ansi;
    AddResultRow(item, Format("%s (копирование из таблицы \"%s\" в \"%s\")"_ansi, {kind, item->SrcName, item->DstName}),
                 warnings, errors);
  }
  InfoList->setUpdatesEnabled(true);
  InfoList->setVisible(InfoList->topLevelItemCount() > 0);
  if (CopyBase->State != csFinished) {
    DialogIcon->SetIcon(diAttention);
    FinishInfo->setText(ToQString("База не скопирована"_ansi));
    return;
  }
  DialogIcon->SetIcon(diDone);
  std::string text = Format("Копирование базы \"%s\" завершено"_ansi, {DbCaption});
  if (errors == 0) text += " успешно"_ansi;
  if (CopyBase->Unfasten) text += ", создана независимая копия БД"_ansi;
  if (CopySemTables->State == csFinished) text += ", семантические таблицы скопированы."_ansi;
  text += "\r\nПредупреждений: "_ansi + std::to_string(warnings);
  text += "\r\nОшибок: "_ansi + std::to_string(errors);
  FinishInfo->setText(ToQString(text));
}

void TCopyOrvel::AddResultRow(TCopyTableInfo* item, const std::string& text, int& warnings, int& errors) {
  auto* row = new QTreeWidgetItem(InfoList);
  row->setText(0, ToQString(item->DstName));
  int percent = 100;
  if (item->RowCount >= 1)
    percent = static_cast<int>(RoundHalfEven(static_cast<double>(item->Copied) / item->RowCount * 100.0));
  else if (item->RowCount == -1)
    percent = -1;
  row->setText(1, ToQString(std::to_string(percent) + "%"));
  int state = 0;
  if (percent < 100) {
    state = item->Critical ? 2 : 1;
    (item->Critical ? errors : warnings) += 1;
  }
  row->setIcon(0, StateIcon(state));
  row->setData(0, Qt::UserRole, state);
  std::string details = text;
  if (item->RowCount >= 0)
    details += "\r\nВсего записей: "_ansi + std::to_string(item->RowCount) + "\r\nСкопировано: "_ansi +
               std::to_string(item->Copied);
  else
    details += "\r\nТаблица не скопирована"_ansi;
  if (item->Errors->Count() > 0) {
    details += "\r\nОшибки:\r\n"_ansi;
    for (int i = 0; i < item->Errors->Count(); ++i) details += item->Errors->Strings(i) + "\r\n";
  }
  Details->Add(details);
}

void TCopyOrvel::InfoListSelectItem(QTreeWidgetItem* item) {
  if (!item) return;
  const int index = InfoList->indexOfTopLevelItem(item);
  if (index >= 0 && index < Details->Count()) DetailsList->setPlainText(ToQString(Details->Strings(index)));
}

void TCopyOrvel::ShowError(const std::string& text) {
  Application->MessageBox(text, "Ошибка"_ansi, MB_OK | MB_ICONERROR, this);
}

bool TCopyOrvel::AskYesNo(const std::string& text) {
  return Application->MessageBox(text, "Вопрос"_ansi, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2, this) == IDYES;
}

bool TCopyOrvel::AskStop(const std::string& text) { return AskYesNo(text); }
