// The copy engine's table items and their name maps.
//
// A copy run works through a list of TCopyTableInfo items, one per table: source and destination
// names, a field map and an index map (source name -> destination name), the errors collected for
// the table, and its row counts. Map entries are lines "source=destination" of a string list;
// lookups by source name fold case in the user's locale, lookups by destination name fold only
// ASCII letters. An entry never holds an empty destination: setting one deletes the entry.
//
// A map key is a Variant: a 16-bit or 32-bit signed or an 8-bit unsigned integer is a position,
// anything else is taken as a name (its text).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "gisdb/OrvelDbs.h"
#include "platform/rtl/Classes.h"
#include "platform/rtl/Variant.h"

class TCopyTableInfo : public TObject {
 public:
  explicit TCopyTableInfo(const std::string& name);
  ~TCopyTableInfo() override;

  // Field map. GetFieldSource: the source name at a position, or of the first entry whose
  // destination is the given name (raises "Не найдено соответствия для поля %s" when none).
  // GetFieldTarget: the destination for a position's source name or for a source name ("" when
  // absent). SetFieldTarget: sets or (with "") deletes the entry of that source name.
  std::string GetFieldSource(const Variant& key) const;
  std::string GetFieldTarget(const Variant& key) const;
  void SetFieldTarget(const Variant& key, const std::string& target);
  int FieldMapCount() const { return Fields->Count(); }

  // The same four over the index map.
  std::string GetIndexSource(const Variant& key) const;
  std::string GetIndexTarget(const Variant& key) const;
  void SetIndexTarget(const Variant& key, const std::string& target);
  int IndexMapCount() const { return Indexes->Count(); }

  std::unique_ptr<TStringList> Fields;
  std::unique_ptr<TStringList> Indexes;
  std::unique_ptr<TStringList> Errors;
  std::string SrcName;
  std::string DstName;       // empty until the structure is read
  bool Critical = false;     // errors count as errors, not warnings
  std::string Description;   // put before the error text in the row-error dialog
  int32_t RowCount = -1;     // -1: the table never reached its row copy
  int32_t Copied = 0;
};

// True for the integer Variant types that count as positions.
bool IsOrdinalKey(const Variant& key);
// The first position whose destination equals name under CompareText; -1 when none.
int IndexOfTarget(const TStrings& map, const std::string& name);
// The position of the first field (index) whose name equals name under CompareText, with its
// definition; raises "Ошибка, не найдено соответствующее поле" ("... индекс") when none.
int FindFieldDef(IOrvDbTableDef* def, const std::string& name, TOrvDbFieldDef& field);
int FindIndexDef(IOrvDbTableDef* def, const std::string& name, TOrvDbIndexDef& index);
// The position of the first index whose ";"-separated field list holds fieldName under
// CompareText, with its definition; -1 when none.
int FindIndexOfField(IOrvDbTableDef* def, const std::string& fieldName, TOrvDbIndexDef& index);
// The list cut at sep, each item translated through the item's field map; unmapped and empty
// items are dropped, the rest joined by sep in their order.
std::string MapFieldList(const std::string& list, const TCopyTableInfo& item, char sep);
