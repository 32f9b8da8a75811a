// The connection-string dialog for ODBC data sources: it lists the installed ODBC drivers and the
// data sources of the ODBC manager, edits the usual keys (server, port, database or database file,
// user, password) and any further key=value pairs, and builds the connection string. It stands
// where the data-link dialog of a data-access platform would.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

#include "platform/ado/OdbcConnectionStrings.h"

class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

class TDataLinkForm : public QDialog {
 public:
  // The choices list the installed drivers, then the data sources.
  TDataLinkForm(QWidget* parent, const std::vector<TOdbcDriver>& drivers,
                const std::vector<TOdbcDataSource>& dataSources);

  QComboBox* cbSource;  // "DRIVER={...}" or "DSN=..." choices, editable
  QLineEdit* edServer;
  QLineEdit* edPort;
  QLineEdit* edDatabase;
  QPushButton* btnDatabaseBrowse;
  QLineEdit* edUser;
  QLineEdit* edPassword;  // masked
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
