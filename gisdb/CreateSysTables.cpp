#include "gisdb/CreateSysTables.h"

void CreateSysTable(IOrvDb* db, const std::string& tableName, const std::vector<TOrvDbFieldDef>& fields,
                    const std::vector<TOrvDbIndexDef>& indexes) {
  IOrvDbTableDefPtr def = db->GetTableDef("");
  def->SetTableName(tableName);
  for (const auto& f : fields) def->AddField(f);
  for (const auto& i : indexes) def->AddIndex(i);
  def->ApplyChanges();
}

const std::vector<TOrvDbFieldDef> DbInfoFields = {
    {"DBID", dftString, 64, true},
    {"DBCAPTION", dftString, 200, false},
    {"IDGROUP", dftInt32, 0, false},
    {"IDNUMBER", dftInt32, 0, false},
    {"VERSION", dftInt32, 0, false},
};
const std::vector<TOrvDbIndexDef> DbInfoIndexes = {
    {"ORVEL_DBINFO_PK", "DBID", dioPrimary | dioUnique},
};

const std::vector<TOrvDbFieldDef> AclFields = {
    {"OBJECTID", dftString, 12, true},
    {"SUBCLASSID", dftString, 12, true},
    {"USERID", dftString, 12, true},
    {"USERKIND", dftInt32, 0, false},
    {"SETOPERATIONS", dftInt32, 0, false},
    {"CLEAROPERATIONS", dftInt32, 0, false},
};
const std::vector<TOrvDbIndexDef> AclIndexes = {
    {"ORVEL_ACL_PK", "OBJECTID;SUBCLASSID;USERID", dioPrimary | dioUnique},
};

const std::vector<TOrvDbFieldDef> LinksFields = {
    {"OBJECT1ID", dftString, 12, true},
    {"OBJECT2ID", dftString, 12, true},
};
const std::vector<TOrvDbIndexDef> LinksIndexes = {
    {"ORVEL_LINKS_PK", "OBJECT1ID;OBJECT2ID", dioPrimary | dioUnique},
    {"ORVEL_LINKS_OBJECT2ID", "OBJECT2ID", 0},
};

const std::vector<TOrvDbFieldDef> ProjectsFields = {
    {"ID", dftString, 12, true},
    {"PROJECTNAME", dftString, 129, false},
    {"GPID", dftString, 12, false},
};
const std::vector<TOrvDbIndexDef> ProjectsIndexes = {
    {"ORVEL_PROJECTS_PK", "ID", dioPrimary | dioUnique},
};

const std::vector<TOrvDbFieldDef> ProjMapsFields = {
    {"ID", dftString, 12, true},
    {"PROJECTID", dftString, 12, false},
    {"PLANEID", dftString, 12, false},
};
const std::vector<TOrvDbIndexDef> ProjMapsIndexes = {
    {"ORVEL_PROJMAPS_PK", "ID", dioPrimary | dioUnique},
    {"ORVEL_PROJMAPS_PROJECTID", "PROJECTID", 0},
    {"ORVEL_PROJMAPS_PLANEID", "PLANEID", 0},
};

const std::vector<TOrvDbFieldDef> AreasFields = {
    {"ID", dftString, 12, true},
    {"AREANAME", dftString, 65, false},
    {"BOUNDSL", dftDouble, 0, false},
    {"BOUNDSR", dftDouble, 0, false},
    {"BOUNDST", dftDouble, 0, false},
    {"BOUNDSB", dftDouble, 0, false},
    {"MEASUREMENT", dftInt32, 0, false},
    {"NORTHANGLE", dftInt32, 0, false},
};
const std::vector<TOrvDbIndexDef> AreasIndexes = {
    {"ORVEL_AREAS_PK", "ID", dioPrimary | dioUnique},
};

const std::vector<TOrvDbFieldDef> MapsFields = {
    {"ID", dftString, 12, true},
    {"GPID", dftString, 12, false},
    {"MAPNAME", dftString, 65, false},
    {"MAPTYPE", dftInt16, 0, false},
    {"VISIBLEMIN", dftDouble, 0, false},
    {"VISIBLEMAX", dftDouble, 0, false},
};
const std::vector<TOrvDbIndexDef> MapsIndexes = {
    {"ORVEL_MAPS_PK", "ID", dioPrimary | dioUnique},
    {"ORVEL_MAPS_GPID", "GPID", 0},
};

const std::vector<TOrvDbFieldDef> RastMapsFields = {
    {"ID", dftString, 12, true},
    {"OFFSETX", dftDouble, 0, false},
    {"OFFSETY", dftDouble, 0, false},
    {"TABSIZEX", dftDouble, 0, false},
    {"TABSIZEY", dftDouble, 0, false},
    {"TABDIVX", dftInt32, 0, false},
    {"TABDIVY", dftInt32, 0, false},
    {"TABNUMSTEPX", dftInt32, 0, false},
    {"TABNUMSTEPY", dftInt32, 0, false},
    {"TABNUMSTARTX", dftInt32, 0, false},
    {"TABNUMSTARTY", dftInt32, 0, false},
    {"XDIR", dftInt16, 0, false},
    {"YDIR", dftInt16, 0, false},
    {"COLOR", dftInt32, 0, false},
};
const std::vector<TOrvDbIndexDef> RastMapsIndexes = {
    {"ORVEL_RASTMAPS_PK", "ID", dioPrimary | dioUnique},
};

const std::vector<TOrvDbFieldDef> RastersFields = {
    {"ID", dftString, 12, true},
    {"PLANEID", dftString, 12, false},
    {"NUMX", dftInt32, 0, false},
    {"NUMY", dftInt32, 0, false},
    {"FILENAME", dftString, 256, false},
    {"REPERLEFT", dftInt32, 0, false},
    {"REPERRIGHT", dftInt32, 0, false},
    {"REPERTOP", dftInt32, 0, false},
    {"REPERBOTTOM", dftInt32, 0, false},
    {"COLOR", dftInt32, 0, false},
};
const std::vector<TOrvDbIndexDef> RastersIndexes = {
    {"ORVEL_RASTERS_PK", "ID", dioPrimary | dioUnique},
    {"ORVEL_RASTERS_PLANEID", "PLANEID", 0},
};

const std::vector<TOrvDbFieldDef> LayersFields = {
    {"ID", dftString, 12, true},
    {"PLANEID", dftString, 12, false},
    {"LAYERNAME", dftString, 129, false},
    {"VISIBLEMIN", dftDouble, 0, false},
    {"VISIBLEMAX", dftDouble, 0, false},
    {"ROOTSECTORID", dftString, 12, false},
};
const std::vector<TOrvDbIndexDef> LayersIndexes = {
    {"ORVEL_LAYERS_PK", "ID", dioPrimary | dioUnique},
    {"ORVEL_LAYERS_PLANEID", "PLANEID", 0},
};

const std::vector<TOrvDbFieldDef> StylesFields = {
    {"ID", dftString, 12, true},
    {"LAYERID", dftString, 12, false},
    {"STYLENAME", dftString, 65, false},
    {"DATA", dftBlob, 250, false},
};
const std::vector<TOrvDbIndexDef> StylesIndexes = {
    {"ORVEL_STYLES_PK", "ID", dioPrimary | dioUnique},
    {"ORVEL_STYLES_LAYERID", "LAYERID", 0},
};

const std::vector<TOrvDbFieldDef> SemTablsFields = {
    {"ID", dftString, 12, true},
    {"LAYERID", dftString, 12, false},
    {"SEMTABLENAME", dftString, 65, false},
    {"TABLENAME", dftString, 65, false},
    {"LINKTYPE", dftInt16, 0, false},
    {"REFBOOKFIELD", dftBlob, 250, false},
};
const std::vector<TOrvDbIndexDef> SemTablsIndexes = {
    {"ORVEL_SEMTABLS_PK", "ID", dioPrimary | dioUnique},
    {"ORVEL_SEMTABLS_LAYERID", "LAYERID", 0},
};

const std::vector<TOrvDbFieldDef> RelationFields = {
    {"ID", dftString, 12, true},
    {"RELATIONNAME", dftString, 64, false},
    {"REACTION1", dftInt16, 0, false},
    {"REACTION2", dftInt16, 0, false},
    {"LAYER1ID", dftString, 12, false},
    {"LAYER2ID", dftString, 12, false},
};
const std::vector<TOrvDbIndexDef> RelationIndexes = {
    {"ORVEL_RELATION_PK", "ID", dioPrimary | dioUnique},
    {"ORVEL_RELATION_LAYER1ID", "LAYER1ID", 0},
    {"ORVEL_RELATION_LAYER2ID", "LAYER2ID", 0},
};

const std::vector<TOrvDbFieldDef> SectorsFields = {
    {"ID", dftString, 12, true},
    {"LAYERID", dftString, 12, false},
    {"BOUNDSL", dftDouble, 0, false},
    {"BOUNDSR", dftDouble, 0, false},
    {"BOUNDST", dftDouble, 0, false},
    {"BOUNDSB", dftDouble, 0, false},
    {"S0", dftString, 12, false},
    {"S1", dftString, 12, false},
    {"S2", dftString, 12, false},
    {"S3", dftString, 12, false},
    {"OBJECTS", dftBlob, 0, false},
};
const std::vector<TOrvDbIndexDef> SectorsIndexes = {
    {"ORVEL_SECTORS_PK", "ID", dioPrimary | dioUnique},
    {"ORVEL_SECTORS_LAYERID", "LAYERID", 0},
};

const std::vector<TOrvDbFieldDef> ObjInfoFields = {
    {"ID", dftString, 12, true},
    {"LAYERID", dftString, 12, false},
    {"SECTORID", dftString, 12, false},
};
const std::vector<TOrvDbIndexDef> ObjInfoIndexes = {
    {"ORVEL_OBJINFO_PK", "ID", dioPrimary | dioUnique},
    {"ORVEL_OBJINFO_LAYERID", "LAYERID", 0},
};

const std::vector<TOrvDbFieldDef> RefBooksFields = {
    {"ID", dftString, 12, true},
    {"REFBOOKNAME", dftString, 65, false},
    {"BDEALIAS", dftString, 65, false},
    {"TABLENAME", dftString, 65, false},
    {"REFBOOKTYPE", dftInt16, 0, false},
    {"USECOUNT", dftInt16, 0, false},
};
const std::vector<TOrvDbIndexDef> RefBooksIndexes = {
    {"ORVEL_REFBOOKS_PK", "ID", dioPrimary | dioUnique},
};

const std::vector<TOrvDbFieldDef> AddonDatFields = {
    {"KEYNAME", dftString, 250, true},
    {"DATA", dftBlob, 0, false},
};
const std::vector<TOrvDbIndexDef> AddonDatIndexes = {
    {"ORVEL_ADDONDAT_PK", "KEYNAME", dioPrimary | dioUnique},
};

const std::vector<TOrvDbFieldDef> PrefsFields = {
    {"USERID", dftString, 12, true},
    {"PROJECTID", dftString, 12, true},
    {"OBJECTID", dftString, 12, true},
    {"KEYNAME", dftString, 100, true},
    {"DATA", dftString, 100, false},
};
const std::vector<TOrvDbIndexDef> PrefsIndexes = {
    {"ORVEL_PREFS_PK", "USERID;PROJECTID;OBJECTID;KEYNAME", dioPrimary | dioUnique},
};

const std::vector<TOrvDbFieldDef> UsersFields = {
    {"ID", dftString, 12, true},
    {"USERNAME", dftString, 50, false},
    {"FULLNAME", dftString, 50, false},
    {"DESCRIPTION", dftString, 50, false},
    {"USERPASSWORD", dftString, 50, false},
};
const std::vector<TOrvDbIndexDef> UsersIndexes = {
    {"ORVEL_USERS_PK", "ID", dioPrimary | dioUnique},
};

const std::vector<TOrvDbFieldDef> UserGrpsFields = {
    {"ID", dftString, 12, true},
    {"GROUPNAME", dftString, 50, false},
    {"DESCRIPTION", dftString, 50, false},
};
const std::vector<TOrvDbIndexDef> UserGrpsIndexes = {
    {"ORVEL_USERGRPS_PK", "ID", dioPrimary | dioUnique},
};

const std::vector<TOrvDbFieldDef> UsrGrpFields = {
    {"GROUPID", dftString, 12, true},
    {"USERID", dftString, 12, true},
};
const std::vector<TOrvDbIndexDef> UsrGrpIndexes = {
    {"ORVEL_USR_GRP_PK", "GROUPID;USERID", dioPrimary | dioUnique},
    {"ORVEL_USR_GRP_USERID", "USERID", 0},
};

const std::vector<TOrvDbFieldDef> ThemesFields = {
    {"ID", dftString, 12, true},
    {"LAYERID", dftString, 12, false},
    {"DATA", dftBlob, 200, false},
};
const std::vector<TOrvDbIndexDef> ThemesIndexes = {
    {"ORVEL_THEMES_PK", "ID", dioPrimary | dioUnique},
    {"ORVEL_THEMES_LAYERID", "LAYERID", 0},
};

const std::vector<TOrvDbFieldDef> IdMaperFields = {
    {"IDCLASS", dftInt32, 0, true},
    {"LOCALID", dftInt32, 0, true},
    {"GLOBALID", dftString, 38, true},
};
const std::vector<TOrvDbIndexDef> IdMaperIndexes = {
    {"ORVEL_IDMAPER_PK", "IDCLASS;LOCALID", dioPrimary | dioUnique},
};

const std::vector<TOrvDbFieldDef> ModulesFields = {
    {"OWNEROBJECTID", dftString, 12, true},
    {"MODULEID", dftString, 12, true},
    {"DATA", dftBlob, 0, false},
};
const std::vector<TOrvDbIndexDef> ModulesIndexes = {
    {"ORVEL_MODULES_PK", "OWNEROBJECTID;MODULEID", dioPrimary | dioUnique},
    {"ORVEL_MODULES_MODULEID", "MODULEID", 0},
};

void CreateAclTable(IOrvDb* db) { CreateSysTable(db, "ORVEL_ACL", AclFields, AclIndexes); }
void CreateLinksTable(IOrvDb* db) { CreateSysTable(db, "ORVEL_LINKS", LinksFields, LinksIndexes); }
void CreateProjectsTable(IOrvDb* db) { CreateSysTable(db, "ORVEL_PROJECTS", ProjectsFields, ProjectsIndexes); }
void CreateProjMapsTable(IOrvDb* db) { CreateSysTable(db, "ORVEL_PROJMAPS", ProjMapsFields, ProjMapsIndexes); }
void CreateAreasTable(IOrvDb* db) { CreateSysTable(db, "ORVEL_AREAS", AreasFields, AreasIndexes); }
void CreateMapsTable(IOrvDb* db) { CreateSysTable(db, "ORVEL_MAPS", MapsFields, MapsIndexes); }
void CreateRastMapsTable(IOrvDb* db) { CreateSysTable(db, "ORVEL_RASTMAPS", RastMapsFields, RastMapsIndexes); }
void CreateRastersTable(IOrvDb* db) { CreateSysTable(db, "ORVEL_RASTERS", RastersFields, RastersIndexes); }
void CreateLayersTable(IOrvDb* db) { CreateSysTable(db, "ORVEL_LAYERS", LayersFields, LayersIndexes); }
void CreateStylesTable(IOrvDb* db) { CreateSysTable(db, "ORVEL_STYLES", StylesFields, StylesIndexes); }
void CreateSemTablsTable(IOrvDb* db) { CreateSysTable(db, "ORVEL_SEMTABLS", SemTablsFields, SemTablsIndexes); }
void CreateRelationTable(IOrvDb* db) { CreateSysTable(db, "ORVEL_RELATION", RelationFields, RelationIndexes); }
void CreateSectorsTable(IOrvDb* db) { CreateSysTable(db, "ORVEL_SECTORS", SectorsFields, SectorsIndexes); }
void CreateObjInfoTable(IOrvDb* db) { CreateSysTable(db, "ORVEL_OBJINFO", ObjInfoFields, ObjInfoIndexes); }
void CreateRefBooksTable(IOrvDb* db) { CreateSysTable(db, "ORVEL_REFBOOKS", RefBooksFields, RefBooksIndexes); }
void CreateAddonDatTable(IOrvDb* db) { CreateSysTable(db, "ORVEL_ADDONDAT", AddonDatFields, AddonDatIndexes); }
void CreatePrefsTable(IOrvDb* db) { CreateSysTable(db, "ORVEL_PREFS", PrefsFields, PrefsIndexes); }
void CreateThemesTable(IOrvDb* db) { CreateSysTable(db, "ORVEL_THEMES", ThemesFields, ThemesIndexes); }
void CreateIdMaperTable(IOrvDb* db) { CreateSysTable(db, "ORVEL_IDMAPER", IdMaperFields, IdMaperIndexes); }
void CreateModulesTable(IOrvDb* db) { CreateSysTable(db, "ORVEL_MODULES", ModulesFields, ModulesIndexes); }

const std::vector<std::string> SysTableNames = {
    "ORVEL_DBINFO",
    "ORVEL_ACL",
    "ORVEL_LINKS",
    "ORVEL_PROJECTS",
    "ORVEL_PROJMAPS",
    "ORVEL_AREAS",
    "ORVEL_MAPS",
    "ORVEL_RASTMAPS",
    "ORVEL_RASTERS",
    "ORVEL_LAYERS",
    "ORVEL_STYLES",
    "ORVEL_SEMTABLS",
    "ORVEL_RELATION",
    "ORVEL_SECTORS",
    "ORVEL_OBJINFO",
    "ORVEL_REFBOOKS",
    "ORVEL_ADDONDAT",
    "ORVEL_PREFS",
    "ORVEL_USERS",
    "ORVEL_USERGRPS",
    "ORVEL_USR_GRP",
    "ORVEL_THEMES",
    "ORVEL_IDMAPER",
    "ORVEL_MODULES",
};
