// The semantic copy: every reference book (ORVEL_REFBOOKS) and semantic table (ORVEL_SEMTABLS)
// that a GIS database lists is copied from the semantic source to the semantic destination with the
// copy engine, with table, field and index names converted on the way when the converters are on,
// and the catalogues rewritten with the new names afterwards.
//
// A table that cannot be read or created is marked failed and the run goes on; a name that cannot
// be converted ends the run.
#pragma once

#include <memory>
#include <string>

#include "copier/ConvertObj.h"
#include "copier/CopyBases.h"

class TCopySemTableInfo : public TCopyTableInfo {
 public:
  explicit TCopySemTableInfo(const std::string& name) : TCopyTableInfo(name) {}
  std::string ID;            // the catalogue row's ID, at most 12 characters
  bool IsRefBook = false;    // from ORVEL_REFBOOKS, else from ORVEL_SEMTABLS
  bool Failed = false;       // reading or creating the table failed; later steps skip it
  std::string DisplayName;   // REFBOOKNAME or SEMTABLENAME
};

class TCopySemTablesFrame : public TCopyBaseFrame {
 public:
  explicit TCopySemTablesFrame(QWidget* owner = nullptr);
  ~TCopySemTablesFrame() override;

  std::unique_ptr<TConvert> TableConvert;
  std::unique_ptr<TConvert> FieldConvert;
  std::unique_ptr<TConvert> IndexConvert;
  bool UniqueIndexes = false;     // converted index names unique over the whole run
  bool EditConvertNames = false;  // review the converted names before the tables are created
  IOrvDbPtr GisDb;                // whose catalogues are read and rewritten

  void InitSemCopy(const std::string& caption, const IOrvDbPtr& gisDb, const IOrvDbPtr& source,
                   const IOrvDbPtr& destination);
  bool AnyConvertEnabled() const;
  void SetConvertEnabled(bool value);
  TCopySemTableInfo* GetItem(int index) const;

  void ReadTableInfo(TCopyTableInfo* item) override;
  void CreateTable(TCopyTableInfo* item) override;
  void CopyTable(TCopyTableInfo* item) override;
  void ReadInfo() override;
  void BeforeCreateTables() override;
  // The row copy, then the catalogue rewrite with the new names (under the lock).
  void CopyTables() override;

 protected:
  void LetGoDatabases() override;
  std::vector<IOrvDbPtr> WrittenDatabases() const override { return {Destination, GisDb}; }

 private:
  void CommitCatalogue();
  void ReadCatalogue(const std::string& table, const std::string& nameColumn, bool refBooks);
  void UpdateRefBookNames(TCopySemTableInfo* item);
  void UpdateSemTableNames(TCopySemTableInfo* item);
  bool FindItemByID(const std::string& id, TCopySemTableInfo*& item) const;
  std::string CheckTableName(const std::string& name) const;
};
