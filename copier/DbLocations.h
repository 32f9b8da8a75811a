// TDbLocationFrame: the panel in which the user says where a database is and how to reach it. Four
// access types (ODBC data source, InterBase database, Paradox folder, alias), each with a page of
// its own, and the two quote marks. GetLocation validates the entries and returns connection
// parameters; SetLocation shows a given list.
#pragma once

#include <QFrame>
#include <string>
#include <vector>

#include "gisdb/DbConnParams.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QStackedWidget;
class QWidget;
class TDialogIcon;

class TDbLocationFrame : public QFrame {
 public:
  explicit TDbLocationFrame(QWidget* parent = nullptr);

  TDialogIcon* DialogIcon1;
  QLabel* Label16;
  QRadioButton* UseOLEDB;
  QRadioButton* UseIB;
  QRadioButton* UsePDOX;
  QRadioButton* UseBDE;
  QStackedWidget* EnginePages;
  QWidget* OLEDBPage;
  QWidget* IBPage;
  QWidget* PDOXPage;
  QWidget* BDEPage;
  QLabel* Label2;
  QLineEdit* LeftMark;
  QLineEdit* RightMark;

  QPlainTextEdit* OLEDBConnectionString;
  QPushButton* OLEDBConnectionStringBuild;
  QLineEdit* OLEDBUser;
  QLineEdit* OLEDBPassword;
  QLineEdit* OLEDBConfirm;

  QLineEdit* IBServer;
  QComboBox* IBProtocol;
  QLineEdit* IBDatabase;
  QPushButton* IBDatabaseBrowse;
  QLineEdit* IBUser;
  QLineEdit* IBPassword;
  QLineEdit* IBConfirm;
  QLineEdit* IBSQLRole;
  QComboBox* IBCType;

  QLineEdit* PDOXFolder;
  QPushButton* PDOXFolderBrowse;

  QComboBox* BDEAlias;
  QPushButton* BDEAliasRefresh;
  QLineEdit* BDEUser;
  QLineEdit* BDEPassword;
  QLineEdit* BDEConfirm;

  // A new parameter list for the active page; raises "ВНИМАНИЕ! ..." with the focus on the field
  // concerned when an entry is missing or wrong.
  IConnParamsPtr GetLocation();
  // Shows a list (none: the Paradox page); false when none was given or it could not be shown,
  // which then leaves the frame on the Paradox page. Never raises.
  bool SetLocation(IConnParams* params);
  // The heading above the access types.
  void SetHeading(const std::string& text);

  void UseOLEDBClick();
  void IBServerChange();
  void IBDatabaseBrowseClick();
  void PDOXFolderBrowseClick();
  void BDEAliasRefreshClick();
  void OLEDBConnectionStringBuildClick();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // The constructor's steps, in the order they run.
  void CreateAccessTypes();  // the heading, the four access-type buttons and the page stack
  void BuildOdbcPage();
  void BuildInterBasePage();
  void BuildParadoxPage();
  void BuildAliasPage();
  QGroupBox* BuildQuoteMarks();
  void LayOutFrame(QGroupBox* marks);
  void ConnectHandlers();

  [[noreturn]] void LocationError(QWidget* control, const std::string& message);
  void Check(QRadioButton* button);
};

// Runs the folder picker with a title from a starting folder; true with the chosen folder.
bool SelectFolder(const std::string& title, std::string& folder, QWidget* owner = nullptr);
// The connection-string dialog, seeded from a string; the new string on OK, the given one on
// Cancel. Raises "Ошибка создания объекта OLEDB" when the ODBC manager cannot be loaded.
std::string PromptOleDbConnection(QWidget* parent, const std::string& initString);
// The alias names the default session knows, in their order.
std::vector<std::string> GetBdeAliases();
// The position of the first entry equal to text with a-z folded, or the number of entries.
int IndexOfText(const std::string& text, const std::vector<std::string>& list);
