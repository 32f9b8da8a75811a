#include "gisdb/CreateSysTables.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "foundation/ArrayUtils.h"
#include "tests/support/MemoryDb.h"

using testsupport::TMemDb;

namespace {

// Creates all 24 tables the way the whole-database copy does: the creators, and CreateSysTable
// with the exported arrays for the four tables without one.
void CreateAll(IOrvDb* db) {
  const std::vector<std::function<void(IOrvDb*)>> creators = {
      CreateAclTable,     CreateLinksTable,   CreateProjectsTable, CreateProjMapsTable, CreateAreasTable,
      CreateMapsTable,    CreateRastMapsTable, CreateRastersTable, CreateLayersTable,   CreateStylesTable,
      CreateSemTablsTable, CreateRelationTable, CreateSectorsTable, CreateObjInfoTable,  CreateRefBooksTable,
      CreateAddonDatTable, CreatePrefsTable,   CreateThemesTable,  CreateIdMaperTable,  CreateModulesTable};
  for (const auto& create : creators) create(db);
  CreateSysTable(db, "ORVEL_DBINFO", DbInfoFields, DbInfoIndexes);
  CreateSysTable(db, "ORVEL_USERS", UsersFields, UsersIndexes);
  CreateSysTable(db, "ORVEL_USERGRPS", UserGrpsFields, UserGrpsIndexes);
  CreateSysTable(db, "ORVEL_USR_GRP", UsrGrpFields, UsrGrpIndexes);
}

}  // namespace

// The catalogue's own conventions, checked over every table as created: one primary key named
// <table>_PK over the leading fields, which alone are required (and GLOBALID); every other index a
// plain one on one field named <table>_<field>; only five field types.
TEST(SysTableCatalogue, EveryTableFollowsTheCatalogueConventions) {
  RefPtr<TMemDb> db(new TMemDb);
  CreateAll(db.get());
  ASSERT_EQ(SysTableNames.size(), 24u);
  ASSERT_EQ(db->Tables.size(), 24u);
  std::size_t fieldCount = 0, indexCount = 0;
  for (const std::string& name : SysTableNames) {
    SCOPED_TRACE(name);
    auto def = db->GetTableDef(name);
    ASSERT_EQ(def->GetTableName(), name);
    fieldCount += static_cast<std::size_t>(def->GetFieldCount());
    indexCount += static_cast<std::size_t>(def->GetIndexCount());
    ASSERT_GE(def->GetIndexCount(), 1);
    TOrvDbIndexDef pk = def->GetIndex(0);
    EXPECT_EQ(pk.Name, name + "_PK");
    EXPECT_EQ(pk.Options, dioPrimary | dioUnique);
    TStrArray keys;
    keys.Split(pk.Fields, ";");
    for (int i = 0; i < def->GetFieldCount(); ++i) {
      TOrvDbFieldDef f = def->GetField(i);
      bool inKey = i < keys.Count;
      if (inKey) {
        EXPECT_EQ(f.Name, keys.Items[static_cast<std::size_t>(i)]);
      }
      EXPECT_EQ(f.Required, inKey || f.Name == "GLOBALID") << f.Name;
      EXPECT_TRUE(f.FieldType == dftInt16 || f.FieldType == dftInt32 || f.FieldType == dftDouble ||
                  f.FieldType == dftString || f.FieldType == dftBlob);
      if (f.FieldType != dftString && f.FieldType != dftBlob) {
        EXPECT_EQ(f.Size, 0);
      }
    }
    for (int i = 1; i < def->GetIndexCount(); ++i) {
      TOrvDbIndexDef ix = def->GetIndex(i);
      EXPECT_EQ(ix.Options, 0);
      EXPECT_EQ(ix.Name, name + "_" + ix.Fields);
      EXPECT_GE(def->IndexOfField(ix.Fields), 0);
    }
  }
  EXPECT_EQ(fieldCount, 125u);
  EXPECT_EQ(indexCount, 39u);
}

TEST(SysTableCatalogue, TheOddSizesStandAsListed) {
  RefPtr<TMemDb> db(new TMemDb);
  CreateAll(db.get());
  auto size = [&](const std::string& table, const std::string& field) {
    auto def = db->GetTableDef(table);
    return def->GetField(def->IndexOfField(field)).Size;
  };
  EXPECT_EQ(size("ORVEL_RELATION", "RELATIONNAME"), 64);
  EXPECT_EQ(size("ORVEL_RASTERS", "FILENAME"), 256);
  EXPECT_EQ(size("ORVEL_PROJECTS", "PROJECTNAME"), 129);
  EXPECT_EQ(size("ORVEL_STYLES", "DATA"), 250);
  EXPECT_EQ(size("ORVEL_SEMTABLS", "REFBOOKFIELD"), 250);
  EXPECT_EQ(size("ORVEL_THEMES", "DATA"), 200);
  EXPECT_EQ(size("ORVEL_SECTORS", "OBJECTS"), 0);
  EXPECT_EQ(size("ORVEL_IDMAPER", "GLOBALID"), 38);
  EXPECT_EQ(size("ORVEL_DBINFO", "DBID"), 64);
  EXPECT_EQ(size("ORVEL_ADDONDAT", "KEYNAME"), 250);
}
