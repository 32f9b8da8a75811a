// The whole-database copy: the 24 system tables in their order, created from the built-in
// catalogue on the destination, and the independent copy's new identity.
#include "copier/CopyOrvelBases.h"

#include "copier/WaitingWork.h"
#include "gisdb/CreateSysTables.h"

TCopyOrvelBaseFrame::TCopyOrvelBaseFrame(QWidget* owner) : TCopyBaseFrame(owner) {}

const std::vector<TCopyOrvelBaseFrame::TSysTable>& TCopyOrvelBaseFrame::SysTables() {
  static const std::vector<TSysTable> tables = {
      {"ORVEL_DBINFO", true},    {"ORVEL_IDMAPER", true},  {"ORVEL_MODULES", true},  {"ORVEL_ADDONDAT", false},
      {"ORVEL_THEMES", false},   {"ORVEL_USERS", false},   {"ORVEL_USERGRPS", false}, {"ORVEL_USR_GRP", true},
      {"ORVEL_PREFS", false},    {"ORVEL_ACL", false},     {"ORVEL_AREAS", true},    {"ORVEL_REFBOOKS", true},
      {"ORVEL_PROJECTS", false}, {"ORVEL_PROJMAPS", false}, {"ORVEL_MAPS", true},     {"ORVEL_RASTMAPS", true},
      {"ORVEL_RASTERS", false},  {"ORVEL_LAYERS", true},   {"ORVEL_SECTORS", true},  {"ORVEL_OBJINFO", true},
      {"ORVEL_STYLES", true},    {"ORVEL_SEMTABLS", false}, {"ORVEL_RELATION", true}, {"ORVEL_LINKS", true},
  };
  return tables;
}

void TCopyOrvelBaseFrame::ReadInfo() {
  for (const TSysTable& t : SysTables())
    AddTable(t.Name,
             t.Critical ? "Ошибка может привести к нарушению в работе Гис"_ansi
                        : "Ошибка не должна привести к сбою в работе Гис, но часть данных (возможно) потеряется, можно продолжить копирование"_ansi,
             t.Critical);
  TCopyBaseFrame::ReadInfo();
}

bool FindSysField(IOrvDbTableDef* def, const std::string& name, std::string& found) {
  found.clear();
  for (int i = 0; i < def->GetFieldCount(); ++i) {
    found = def->GetField(i).Name;
    if (CompareText(found, name) == 0) return true;
  }
  return false;
}

void TCopyOrvelBaseFrame::CreateTable(TCopyTableInfo* item) {
  // Only the columns the catalogue knows are copied, under the catalogue's spelling: the question
  // gives each field map entry its new target ("" for a column the catalogue lacks).
  const std::vector<std::string> targets = Ask([item = MapsOf(*item)](TCopyRun& run) {
    IOrvDb* db = run.Destination.get();
    const std::string& name = item->DstName;
    if (name == "ORVEL_DBINFO") CreateSysTable(db, name, DbInfoFields, DbInfoIndexes);
    else if (name == "ORVEL_IDMAPER") CreateIdMaperTable(db);
    else if (name == "ORVEL_MODULES") CreateModulesTable(db);
    else if (name == "ORVEL_ADDONDAT") CreateAddonDatTable(db);
    else if (name == "ORVEL_THEMES") CreateThemesTable(db);
    else if (name == "ORVEL_USERS") CreateSysTable(db, name, UsersFields, UsersIndexes);
    else if (name == "ORVEL_USERGRPS") CreateSysTable(db, name, UserGrpsFields, UserGrpsIndexes);
    else if (name == "ORVEL_USR_GRP") CreateSysTable(db, name, UsrGrpFields, UsrGrpIndexes);
    else if (name == "ORVEL_PREFS") CreatePrefsTable(db);
    else if (name == "ORVEL_ACL") CreateAclTable(db);
    else if (name == "ORVEL_AREAS") CreateAreasTable(db);
    else if (name == "ORVEL_REFBOOKS") CreateRefBooksTable(db);
    else if (name == "ORVEL_PROJECTS") CreateProjectsTable(db);
    else if (name == "ORVEL_PROJMAPS") CreateProjMapsTable(db);
    else if (name == "ORVEL_MAPS") CreateMapsTable(db);
    else if (name == "ORVEL_RASTMAPS") CreateRastMapsTable(db);
    else if (name == "ORVEL_RASTERS") CreateRastersTable(db);
    else if (name == "ORVEL_LAYERS") CreateLayersTable(db);
    else if (name == "ORVEL_SECTORS") CreateSectorsTable(db);
    else if (name == "ORVEL_OBJINFO") CreateObjInfoTable(db);
    else if (name == "ORVEL_STYLES") CreateStylesTable(db);
    else if (name == "ORVEL_SEMTABLS") CreateSemTablsTable(db);
    else if (name == "ORVEL_RELATION") CreateRelationTable(db);
    else if (name == "ORVEL_LINKS") CreateLinksTable(db);
    else throw Exception("Не задана таблица"_ansi);
    IOrvDbTableDefPtr def = db->GetTableDef(name);
    std::vector<std::string> answer;
    for (int i = 0; i < item->FieldMapCount(); ++i) {
      std::string found;
      const bool known = FindSysField(def.get(), item->GetFieldTarget(Variant(int32_t(i))), found);
      answer.push_back(known ? found : std::string());
    }
    return answer;
  });
  // The indexes come from the catalogue alone. Walking downwards keeps the positions still to
  // visit valid while entries are deleted.
  for (int i = item->FieldMapCount() - 1; i >= 0; --i) item->SetFieldTarget(Variant(int32_t(i)), targets[static_cast<std::size_t>(i)]);
  for (int i = item->IndexMapCount() - 1; i >= 0; --i) item->SetIndexTarget(Variant(int32_t(i)), "");
}

void TCopyOrvelBaseFrame::CopyTables() {
  TCopyBaseFrame::CopyTables();
  if (Unfasten) MakeIndependent();
}

void TCopyOrvelBaseFrame::MakeIndependent() {
  try {
    Ask([](TCopyRun& run) {
      IOrvDb* db = run.Destination.get();
      const std::string g1 = GUIDToString(CreateGUID());
      IOrvDbSQLPtr ids = db->CreateSQL(Format("SELECT * FROM [%s] ORDER BY [%s].[%s]",
                                              {"ORVEL_IDMAPER", "ORVEL_IDMAPER", "LOCALID"}));
      ids->Execute({});
      int32_t n = 1;
      while (!ids->Eof() && ids->AsInt32(Variant("LOCALID")) == n) {
        ++n;
        ids->Next();
      }
      ids->Close();
      ids.reset();
      // Each statement is closed, so that a row an engine holds back is written, or fails, here.
      BuildInsertSQL(db, "ORVEL_IDMAPER", {"IDCLASS", "LOCALID", "GLOBALID"})
          ->Execute({IntParam(0), IntParam(n), StrParam(g1)})
          ->Close();
      const std::string g2 = GUIDToString(CreateGUID());
      BuildUpdateSQL(db, "ORVEL_DBINFO", {"DBID", "IDGROUP", "IDNUMBER"}, {})
          ->Execute({StrParam(g2), IntParam(n), IntParam(1000)})
          ->Close();
    });
  } catch (const EWaitAbandoned&) {
    throw;
  } catch (const std::exception& e) {
    // The copy keeps the original's identity; the summary's details say why.
    Unfasten = false;
    for (int i = 0; i < TableCount(); ++i) {
      TCopyTableInfo* item = GetTable(i);
      if (item->SrcName == "ORVEL_DBINFO") {
        item->Errors->Add(ExceptionMessage(e));
        break;
      }
    }
  }
}
