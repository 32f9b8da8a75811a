// The class library's data-set definitions that the database components share: field types,
// field definitions, index options and index definitions. A component that stands for a table
// owns a TFieldDefs and a TIndexDefs and hands them a callback that refills them from the engine
// (their Update).
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/rtl/SysUtils.h"

// The class library's field types, in its order (the numeric values are the class library's).
enum TFieldType : uint8_t {
  ftUnknown, ftString, ftSmallint, ftInteger, ftWord, ftBoolean, ftFloat, ftCurrency, ftBCD,
  ftDate, ftTime, ftDateTime, ftBytes, ftVarBytes, ftAutoInc, ftBlob, ftMemo, ftGraphic,
  ftFmtMemo, ftParadoxOle, ftDBaseOle, ftTypedBinary, ftCursor, ftFixedChar, ftWideString,
  ftLargeint, ftADT, ftArray, ftReference, ftDataSet, ftOraBlob, ftOraClob, ftVariant,
  ftInterface, ftIDispatch, ftGuid, ftTimeStamp, ftFMTBcd
};

// The name of a field type ("ftString"), for messages.
const char* FieldTypeName(TFieldType type);

// Raised by the definition lists on a bad index or an unknown name.
class EDatabaseError : public Exception { using Exception::Exception; };

// One column of a table: its name, type, size (characters for strings, digits after the point for
// ftBCD, 0 where the type has no size) and whether it is NOT NULL.
struct TFieldDef {
  std::string Name;
  TFieldType DataType = ftUnknown;
  int Size = 0;
  bool Required = false;
  int Precision = 0;  // total digits of ftBCD, else 0
};

class TFieldDefs {
 public:
  using TUpdater = std::function<void(TFieldDefs&)>;
  explicit TFieldDefs(TUpdater updater = {}) : FUpdater(std::move(updater)) {}
  int Count() const { return static_cast<int>(FItems.size()); }
  const TFieldDef& Items(int index) const { return FItems.at(Check(index)); }
  TFieldDef& Items(int index) { return FItems.at(Check(index)); }
  const TFieldDef& operator[](int index) const { return Items(index); }
  void Add(const std::string& name, TFieldType type, int size = 0, bool required = false) {
    FItems.push_back(TFieldDef{name, type, size, required, 0});
  }
  void Add(const TFieldDef& def) { FItems.push_back(def); }
  void Clear() { FItems.clear(); }
  // Position of the definition of that name (case-insensitive, Cyrillic included), or -1.
  int IndexOf(const std::string& name) const {
    for (int i = 0; i < Count(); ++i)
      if (AnsiSameText(FItems[i].Name, name)) return i;
    return -1;
  }
  // Replaces the list by the structure the owner reads from its engine; without an owner the list
  // stays as it is.
  void Update() {
    if (FUpdater) FUpdater(*this);
  }

 private:
  size_t Check(int index) const {
    if (index < 0 || index >= Count())
      throw EDatabaseError(Format("Field definition index out of range (%d)", {index}));
    return static_cast<size_t>(index);
  }
  std::vector<TFieldDef> FItems;
  TUpdater FUpdater;
};

enum TIndexOption : uint8_t {
  ixPrimary, ixUnique, ixDescending, ixCaseInsensitive, ixExpression, ixNonMaintained
};

// A set of TIndexOption.
class TIndexOptions {
 public:
  TIndexOptions() = default;
  TIndexOptions(std::initializer_list<TIndexOption> options) {
    for (auto o : options) Include(o);
  }
  bool Contains(TIndexOption o) const { return (FBits >> o) & 1u; }
  void Include(TIndexOption o) { FBits = static_cast<uint8_t>(FBits | (1u << o)); }
  void Exclude(TIndexOption o) { FBits = static_cast<uint8_t>(FBits & ~(1u << o)); }
  bool Empty() const { return FBits == 0; }
  bool operator==(const TIndexOptions&) const = default;

 private:
  uint8_t FBits = 0;
};

// One index: its name, its fields joined by ";" in key order (for ixExpression the expression),
// and its options.
struct TIndexDef {
  std::string Name;
  std::string Fields;
  TIndexOptions Options;
};

// The names of a field list joined by ";" (TIndexDef::Fields), trimmed, empty ones left out.
inline std::vector<std::string> SplitFieldList(const std::string& fields) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t semi = fields.find(';', start);
    std::string part = Trim(fields.substr(start, semi == std::string::npos ? std::string::npos : semi - start));
    if (!part.empty()) out.push_back(part);
    if (semi == std::string::npos) break;
    start = semi + 1;
  }
  return out;
}

class TIndexDefs {
 public:
  using TUpdater = std::function<void(TIndexDefs&)>;
  explicit TIndexDefs(TUpdater updater = {}) : FUpdater(std::move(updater)) {}
  int Count() const { return static_cast<int>(FItems.size()); }
  const TIndexDef& Items(int index) const { return FItems.at(Check(index)); }
  TIndexDef& Items(int index) { return FItems.at(Check(index)); }
  const TIndexDef& operator[](int index) const { return Items(index); }
  void Add(const std::string& name, const std::string& fields, TIndexOptions options) {
    FItems.push_back(TIndexDef{name, fields, options});
  }
  void Clear() { FItems.clear(); }
  // Position of the index of that name (case-insensitive, Cyrillic included), or -1.
  int IndexOf(const std::string& name) const {
    for (int i = 0; i < Count(); ++i)
      if (AnsiSameText(FItems[i].Name, name)) return i;
    return -1;
  }
  // The index of that name, or null.
  const TIndexDef* Find(const std::string& name) const {
    int i = IndexOf(name);
    return i < 0 ? nullptr : &FItems[static_cast<size_t>(i)];
  }
  void Update() {
    if (FUpdater) FUpdater(*this);
  }

 private:
  size_t Check(int index) const {
    if (index < 0 || index >= Count())
      throw EDatabaseError(Format("Index definition index out of range (%d)", {index}));
    return static_cast<size_t>(index);
  }
  std::vector<TIndexDef> FItems;
  TUpdater FUpdater;
};

inline const char* FieldTypeName(TFieldType type) {
  static const char* const names[] = {
      "ftUnknown", "ftString", "ftSmallint", "ftInteger", "ftWord", "ftBoolean", "ftFloat",
      "ftCurrency", "ftBCD", "ftDate", "ftTime", "ftDateTime", "ftBytes", "ftVarBytes",
      "ftAutoInc", "ftBlob", "ftMemo", "ftGraphic", "ftFmtMemo", "ftParadoxOle", "ftDBaseOle",
      "ftTypedBinary", "ftCursor", "ftFixedChar", "ftWideString", "ftLargeint", "ftADT",
      "ftArray", "ftReference", "ftDataSet", "ftOraBlob", "ftOraClob", "ftVariant",
      "ftInterface", "ftIDispatch", "ftGuid", "ftTimeStamp", "ftFMTBcd"};
  return type <= ftFMTBcd ? names[type] : "ftUnknown";
}
