// The conversion settings dialog: for table, field and index names separately, whether the
// semantic copy converts them into safe identifiers and how long such an identifier may be. It
// edits Enabled and MaxLength of the three converters of the semantic copy.
#pragma once

#include <QDialog>

class QCheckBox;
class QFrame;
class QLabel;
class QPushButton;
class TConvert;
class TDialogIcon;
class TFloatEdit;

class TEditConvertOptions : public QDialog {
 public:
  explicit TEditConvertOptions(QWidget* parent = nullptr);

  TDialogIcon* DialogIcon1;
  QLabel* Label1;
  TDialogIcon* DialogIcon2;
  QLabel* Label2;
  QLabel* Label3;
  QLabel* Label4;
  QFrame* Bevel1;
  QFrame* Bevel2;
  QCheckBox* ConvertTableNames;
  TFloatEdit* TableNameLen;
  QCheckBox* ConvertFieldNames;
  TFloatEdit* FieldNameLen;
  QCheckBox* ConvertIndexNames;
  TFloatEdit* IndexNameLen;
  QPushButton* btnOk;
  QPushButton* btnCancel;

  // Each enables its length edit exactly when its check box is checked.
  void ConvertTableNamesClick();
  void ConvertFieldNamesClick();
  void ConvertIndexNamesClick();

  // Bounds of a maximum identifier length.
  static constexpr int MinNameLength = 10;
  static constexpr int MaxNameLength = 500;
};

// Shows the dialog for the semantic copy's table, field and index converters. On OK every
// converter takes Enabled from its check box and, when enabled, MaxLength from its edit (bound to
// 10..500 and rounded, halves to even; a disabled converter keeps its length); the result is true.
// Otherwise nothing changes and the result is false.
bool ExecuteConvertOptions(TConvert& tableConvert, TConvert& fieldConvert, TConvert& indexConvert);
// The same for the semantic copy frame's three converters.
class TCopySemTablesFrame;
bool ExecuteConvertOptions(TCopySemTablesFrame& frame);
