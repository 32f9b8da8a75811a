#include "copier/ConvertSettings.h"

#include <QCheckBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>
#include <cmath>
#include <memory>

#include "copier/ConvertObj.h"
#include "copier/CopySemTables.h"
#include "foundation/DialogIcons.h"
#include "foundation/GraphicComponents.h"
#include "platform/rtl/AnsiText.h"
#include "platform/rtl/SysUtils.h"
#include "platform/ui/Application.h"
#include "platform/ui/DialogButtons.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/UiText.h"

namespace {

TFloatEdit* LengthEdit(QWidget* parent) {
  auto* edit = new TFloatEdit(parent);
  edit->MinValue = TEditConvertOptions::MinNameLength;
  edit->MaxValue = TEditConvertOptions::MaxNameLength;
  edit->SetPrecision(0);
  edit->IsSigned = false;
  edit->TruncZeros = false;
  edit->SetValue(10);
  edit->setFixedWidth(60);
  return edit;
}

QFrame* Bevel(QWidget* parent) {
  auto* line = new QFrame(parent);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  return line;
}

// The edit's number as a length: bound, rounded half to even. A text that reads as no finite
// number counts as the lower bound.
int32_t LengthOf(const TFloatEdit& edit) {
  double value = edit.GetValue();
  if (std::isnan(value)) value = edit.MinValue;
  return static_cast<int32_t>(RoundHalfEven(edit.ClampValue(value)));
}

}  // namespace

TEditConvertOptions::TEditConvertOptions(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
  setWindowTitle(ToQString("Настройка правил конвертации имен"_ansi));

  DialogIcon1 = new TDialogIcon(this);
  DialogIcon1->SetIcon(diToDo);
  Label1 = new QLabel(
      ToQString("Ниже можно настроить некоторые правила конвертации имен для имен таблиц, полей и индексов"_ansi),
      this);
  Label1->setWordWrap(true);
  DialogIcon2 = new TDialogIcon(this);
  DialogIcon2->SetIcon(diInformation);
  Label2 = new QLabel(ToQString("Можно настроить следующие параметры:"_ansi), this);
  Label3 = new QLabel(ToQString("a) Конвертировать имена или нет"_ansi), this);
  Label4 = new QLabel(ToQString("б) Максимальную длину идентификатора"_ansi), this);
  Bevel1 = Bevel(this);
  Bevel2 = Bevel(this);
  ConvertTableNames = new QCheckBox(ToQString("Конвертировать имена таблиц"_ansi), this);
  TableNameLen = LengthEdit(this);
  ConvertFieldNames = new QCheckBox(ToQString("Конвертировать имена полей"_ansi), this);
  FieldNameLen = LengthEdit(this);
  ConvertIndexNames = new QCheckBox(ToQString("Конвертировать имена индексов "_ansi), this);
  IndexNameLen = LengthEdit(this);
  // No default button: Return in a length edit does not close the dialog. Escape cancels.
  auto* buttons = new QHBoxLayout;
  const TOkCancelButtons okCancel =
      AddOkCancelButtons(*this, *buttons, "&Ok"_ansi, "Отмена"_ansi, TOkCancelKeys::EscapeCancels);
  btnOk = okCancel.Ok;
  btnCancel = okCancel.Cancel;

  connect(ConvertTableNames, &QCheckBox::toggled, this, [this] { ConvertTableNamesClick(); });
  connect(ConvertFieldNames, &QCheckBox::toggled, this, [this] { ConvertFieldNamesClick(); });
  connect(ConvertIndexNames, &QCheckBox::toggled, this, [this] { ConvertIndexNamesClick(); });

  auto* grid = new QGridLayout;
  grid->setColumnMinimumWidth(0, 16);
  grid->setColumnStretch(1, 1);
  grid->addWidget(DialogIcon1, 0, 0, Qt::AlignTop);
  grid->addWidget(Label1, 0, 1, 1, 2);
  grid->addWidget(DialogIcon2, 1, 0, Qt::AlignTop);
  grid->addWidget(Label2, 1, 1, 1, 2);
  grid->addWidget(Label3, 2, 1, 1, 2);
  grid->addWidget(Label4, 3, 1, 1, 2);
  grid->addWidget(Bevel1, 4, 0, 1, 3);
  grid->addWidget(ConvertTableNames, 5, 1);
  grid->addWidget(TableNameLen, 5, 2);
  grid->addWidget(ConvertFieldNames, 6, 1);
  grid->addWidget(FieldNameLen, 6, 2);
  grid->addWidget(ConvertIndexNames, 7, 1);
  grid->addWidget(IndexNameLen, 7, 2);
  grid->addWidget(Bevel2, 8, 0, 1, 3);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addLayout(buttons);
  Label1->setMinimumWidth(340);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  ConvertTableNamesClick();
  ConvertFieldNamesClick();
  ConvertIndexNamesClick();
}

void TEditConvertOptions::ConvertTableNamesClick() { TableNameLen->setEnabled(ConvertTableNames->isChecked()); }
void TEditConvertOptions::ConvertFieldNamesClick() { FieldNameLen->setEnabled(ConvertFieldNames->isChecked()); }
void TEditConvertOptions::ConvertIndexNamesClick() { IndexNameLen->setEnabled(ConvertIndexNames->isChecked()); }

bool ExecuteConvertOptions(TConvert& tableConvert, TConvert& fieldConvert, TConvert& indexConvert) {
  std::unique_ptr<TEditConvertOptions> form(Application->CreateForm<TEditConvertOptions>());
  struct TRow {
    TConvert& Convert;
    QCheckBox* Box;
    TFloatEdit* Length;
  };
  const TRow rows[] = {{tableConvert, form->ConvertTableNames, form->TableNameLen},
                       {fieldConvert, form->ConvertFieldNames, form->FieldNameLen},
                       {indexConvert, form->ConvertIndexNames, form->IndexNameLen}};
  for (const TRow& row : rows) row.Box->setChecked(row.Convert.Enabled);
  form->ConvertTableNamesClick();
  form->ConvertFieldNamesClick();
  form->ConvertIndexNamesClick();
  for (const TRow& row : rows) row.Length->SetValue(row.Convert.MaxLength);

  CenterOnMainForm(*form);
  if (ShowModal(*form, "TEditConvertOptions") != mrOk) return false;
  for (const TRow& row : rows) row.Convert.Enabled = row.Box->isChecked();
  for (const TRow& row : rows)
    if (row.Convert.Enabled) row.Convert.MaxLength = LengthOf(*row.Length);
  return true;
}

bool ExecuteConvertOptions(TCopySemTablesFrame& frame) {
  return ExecuteConvertOptions(*frame.TableConvert, *frame.FieldConvert, *frame.IndexConvert);
}
