// The connection-string dialog for ODBC data sources: it lists the installed ODBC drivers and the
// data sources of the ODBC manager, edits the usual keys (server, port, database or database file,
// user, password) and any further key=value pairs, and builds the connection string. It stands
// where the data-link dialog of a data-access platform would.
#pragma once

#include <QDialog>
#include <string>
#include <utility>
#include <vector>

class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

// An ODBC connection string as an ordered list of key=value pairs. Values in braces may hold ';'
// and '=' ("{...}", with "}}" standing for one "}").
using TOdbcPairs = std::vector<std::pair<std::string, std::string>>;
TOdbcPairs ParseOdbcConnectionString(const std::string& text);
std::string BuildOdbcConnectionString(const TOdbcPairs& pairs);

// The drivers and the data sources the ODBC manager knows; raises "Ошибка создания объекта OLEDB"
// when the manager cannot be loaded.
struct TOdbcCatalog {
  std::vector<std::string> Drivers;
  std::vector<std::string> DataSources;
};
TOdbcCatalog ReadOdbcCatalog();

class TDataLinkForm : public QDialog {
 public:
  TDataLinkForm(QWidget* parent, const TOdbcCatalog& catalog);

  QComboBox* cbSource;  // "DRIVER={...}" or "DSN=..." choices, editable
  QLineEdit* edServer;
  QLineEdit* edPort;
  QLineEdit* edDatabase;
  QPushButton* btnDatabaseBrowse;
  QLineEdit* edUser;
  QLineEdit* edPassword;
  QPlainTextEdit* edOther;  // further key=value pairs, one a line
  QPushButton* btnOk;
  QPushButton* btnCancel;

  // Fills the controls from a connection string.
  void SetConnectionString(const std::string& text);
  // The connection string the controls describe.
  std::string ConnectionString() const;

 private:
  void DatabaseBrowseClick();
};
