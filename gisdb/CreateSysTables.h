// The catalogue of the 24 system tables of a GIS database: for each table its fields and indexes
// in creation order, and the routines that create a table from them in any open database.
#pragma once

#include <string>
#include <vector>

#include "gisdb/OrvelDbs.h"

// Creates a table of that name with the given fields and indexes through a new table definition.
// Engine errors reach the caller as the back-end raised them.
void CreateSysTable(IOrvDb* db, const std::string& tableName, const std::vector<TOrvDbFieldDef>& fields,
                    const std::vector<TOrvDbIndexDef>& indexes);

// The fields and indexes of each system table.
extern const std::vector<TOrvDbFieldDef> DbInfoFields;
extern const std::vector<TOrvDbIndexDef> DbInfoIndexes;
extern const std::vector<TOrvDbFieldDef> AclFields;
extern const std::vector<TOrvDbIndexDef> AclIndexes;
extern const std::vector<TOrvDbFieldDef> LinksFields;
extern const std::vector<TOrvDbIndexDef> LinksIndexes;
extern const std::vector<TOrvDbFieldDef> ProjectsFields;
extern const std::vector<TOrvDbIndexDef> ProjectsIndexes;
extern const std::vector<TOrvDbFieldDef> ProjMapsFields;
extern const std::vector<TOrvDbIndexDef> ProjMapsIndexes;
extern const std::vector<TOrvDbFieldDef> AreasFields;
extern const std::vector<TOrvDbIndexDef> AreasIndexes;
extern const std::vector<TOrvDbFieldDef> MapsFields;
extern const std::vector<TOrvDbIndexDef> MapsIndexes;
extern const std::vector<TOrvDbFieldDef> RastMapsFields;
extern const std::vector<TOrvDbIndexDef> RastMapsIndexes;
extern const std::vector<TOrvDbFieldDef> RastersFields;
extern const std::vector<TOrvDbIndexDef> RastersIndexes;
extern const std::vector<TOrvDbFieldDef> LayersFields;
extern const std::vector<TOrvDbIndexDef> LayersIndexes;
extern const std::vector<TOrvDbFieldDef> StylesFields;
extern const std::vector<TOrvDbIndexDef> StylesIndexes;
extern const std::vector<TOrvDbFieldDef> SemTablsFields;
extern const std::vector<TOrvDbIndexDef> SemTablsIndexes;
extern const std::vector<TOrvDbFieldDef> RelationFields;
extern const std::vector<TOrvDbIndexDef> RelationIndexes;
extern const std::vector<TOrvDbFieldDef> SectorsFields;
extern const std::vector<TOrvDbIndexDef> SectorsIndexes;
extern const std::vector<TOrvDbFieldDef> ObjInfoFields;
extern const std::vector<TOrvDbIndexDef> ObjInfoIndexes;
extern const std::vector<TOrvDbFieldDef> RefBooksFields;
extern const std::vector<TOrvDbIndexDef> RefBooksIndexes;
extern const std::vector<TOrvDbFieldDef> AddonDatFields;
extern const std::vector<TOrvDbIndexDef> AddonDatIndexes;
extern const std::vector<TOrvDbFieldDef> PrefsFields;
extern const std::vector<TOrvDbIndexDef> PrefsIndexes;
extern const std::vector<TOrvDbFieldDef> UsersFields;
extern const std::vector<TOrvDbIndexDef> UsersIndexes;
extern const std::vector<TOrvDbFieldDef> UserGrpsFields;
extern const std::vector<TOrvDbIndexDef> UserGrpsIndexes;
extern const std::vector<TOrvDbFieldDef> UsrGrpFields;
extern const std::vector<TOrvDbIndexDef> UsrGrpIndexes;
extern const std::vector<TOrvDbFieldDef> ThemesFields;
extern const std::vector<TOrvDbIndexDef> ThemesIndexes;
extern const std::vector<TOrvDbFieldDef> IdMaperFields;
extern const std::vector<TOrvDbIndexDef> IdMaperIndexes;
extern const std::vector<TOrvDbFieldDef> ModulesFields;
extern const std::vector<TOrvDbIndexDef> ModulesIndexes;

// One creator per system table; ORVEL_DBINFO, ORVEL_USERS, ORVEL_USERGRPS and ORVEL_USR_GRP have none
// and are created with CreateSysTable and their arrays.
void CreateAclTable(IOrvDb* db);
void CreateLinksTable(IOrvDb* db);
void CreateProjectsTable(IOrvDb* db);
void CreateProjMapsTable(IOrvDb* db);
void CreateAreasTable(IOrvDb* db);
void CreateMapsTable(IOrvDb* db);
void CreateRastMapsTable(IOrvDb* db);
void CreateRastersTable(IOrvDb* db);
void CreateLayersTable(IOrvDb* db);
void CreateStylesTable(IOrvDb* db);
void CreateSemTablsTable(IOrvDb* db);
void CreateRelationTable(IOrvDb* db);
void CreateSectorsTable(IOrvDb* db);
void CreateObjInfoTable(IOrvDb* db);
void CreateRefBooksTable(IOrvDb* db);
void CreateAddonDatTable(IOrvDb* db);
void CreatePrefsTable(IOrvDb* db);
void CreateThemesTable(IOrvDb* db);
void CreateIdMaperTable(IOrvDb* db);
void CreateModulesTable(IOrvDb* db);

// The names of the 24 system tables, in catalogue order.
extern const std::vector<std::string> SysTableNames;
