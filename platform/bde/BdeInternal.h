// Helpers shared by the component sources: the field-type map of Paradox fields and the
// translation of engine failures into EDBEngineError.
#pragma once

#include <string>

#include "platform/bde/Bde.h"
#include "platform/paradox/Paradox.h"

namespace bde::detail {

// The class library's field type of a Paradox field, and the size it reports.
TFieldType ToFieldType(paradox::TPdxFieldType type);
TFieldDef ToFieldDef(const paradox::TPdxFieldDef& field);

// Inside a catch block: raises the caught exception as an EDBEngineError whose message ends with
// the context ("; statement: ...", "; table ..."); an EDBEngineError passes unchanged, and so
// does std::bad_alloc.
[[noreturn]] void RethrowAsEngineError(const std::string& context);

// Raises (Unsupported) when the folder, or the table's .DB file when it exists, carries no write
// permission bit. The mode bits are read rather than asking the system, so that read-only tables
// stay untouched even for the superuser, whom the system lets write anything.
void CheckWritable(const std::string& folder, const std::string& table);

// The UTF-8 file-system form of a Windows-1251 path.
std::string FsPath(const std::string& ansi);

// Same session name: "" and "Default" are the default session.
bool SameSessionName(const std::string& a, const std::string& b);

}  // namespace bde::detail
