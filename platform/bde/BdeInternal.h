// Helpers shared by the component sources: the field-type map of Paradox fields, the translation
// of engine failures into EDBEngineError, and the texts that messages share.
#pragma once

#include <cstdint>
#include <exception>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/bde/Bde.h"
#include "platform/paradox/Paradox.h"

namespace bde::detail {

// The class library's field type of a Paradox field, and the size it reports.
TFieldType ToFieldType(paradox::TPdxFieldType type);
TFieldDef ToFieldDef(const paradox::TPdxFieldDef& field);

// Inside a catch block: raises the caught exception as an EDBEngineError whose message ends with
// the context ("; запрос: ...", "; создание таблицы ..."); an EDBEngineError passes unchanged,
// and so does std::bad_alloc.
[[noreturn]] void RethrowAsEngineError(const std::string& context);

// The failures of steps that must all run (closing every database, ending every write batch,
// undoing a failed statement). The first one is raised at the end; a later one neither replaces
// it nor vanishes, since it may mean data not written: its message is added to the first one's.
class TFailures {
 public:
  // Inside a catch block: keeps the caught failure. `label` leads its message when it is added
  // to an earlier failure's.
  void Catch(const std::string& label);
  // Raises the first failure kept, if any.
  void Raise();

 private:
  std::exception_ptr FFirst;
  std::string FLater;
};

// The structures of a folder's tables that a database has read. A structure is answered again
// without reading the table while its .DB file, seen under the name as given, keeps its identity
// (device and inode), size and times, the session's passwords are the same and no table of that
// name has been created, renamed or deleted through these components since
// (TDatabase::TableChanging): a table dropped and made again, here or by another program, is read
// afresh. What the file's stamp cannot tell apart is a table another program makes again within
// one tick of the file system's clock, as a file of the same size that takes the old one's inode.
// Another thread's database of the same folder may call Forget at any time; no lock is held while
// a file is looked at or read.
class TKnownStructures {
 public:
  // The table's structure: the one kept, else the engine's (raising as TableStructure does).
  paradox::TPdxTableDef Get(const paradox::TPdxDatabase& engine, const std::vector<std::string>& passwords,
                            const std::string& table);
  // Drops what is kept of the tables of that name (case-insensitive).
  void Forget(const std::string& table);
  void Clear();

 private:
  struct TStamp {
    uint64_t Device = 0, Inode = 0;
    int64_t Size = 0, Modified = 0, Changed = 0;  // times in nanoseconds
    bool operator==(const TStamp&) const = default;
  };
  struct TKnown {
    TStamp Stamp;
    std::vector<std::string> Passwords;
    paradox::TPdxTableDef Def;
  };
  static bool StampOf(const std::string& path, TStamp& stamp);
  std::mutex FLock;
  std::map<std::string, TKnown> FKnown;  // by table name as given
  uint64_t FForgotten = 0;               // calls of Forget and Clear so far
};

// Raises (Unsupported) when the folder, or the table's .DB file when it exists, carries no write
// permission bit. The mode bits are read rather than asking the system, so that read-only tables
// stay untouched even for the superuser, whom the system lets write anything.
void CheckWritable(const std::string& folder, const std::string& table);

// The UTF-8 file-system form of a Windows-1251 path.
std::string FsPath(const std::string& ansi);

// Same session name: "" and "Default" are the default session.
bool SameSessionName(const std::string& a, const std::string& b);

// A name or text in double quotes, as messages show it.
inline std::string Quote(const std::string& s) { return "\"" + s + "\""; }

}  // namespace bde::detail
