// Queries: parameters, preparation, the evaluation of conditions, the result cursors and the
// writing statements.
//
// A SELECT streams: the result reads the table through one forward-only engine cursor and
// decodes a column only when the condition or the caller asks for it, so neither rows nor blobs
// pile up. ORDER BY collects the matching rows and sorts them; COUNT(*) counts while scanning,
// unless it counts every row: the table's header then holds the answer.
// INSERT, UPDATE and DELETE write through one engine table handle that the prepared query keeps
// with a write batch open (see Bde.h). UPDATE changes rows in place while scanning, except when it
// changes a primary-key field (the row then moves in the table): the matching rows are collected
// first and found again by their old key. DELETE collects the positions of the matching rows and
// deletes them from the last to the first, so that no deletion moves a row still to be deleted.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/bde/BdeInternal.h"
#include "platform/bde/BdeServer.h"
#include "platform/bde/BdeSql.h"

namespace bde {

namespace sql {

namespace {

enum class TTri { False, True, Unknown };
enum TClass { clText = 0, clNumber = 1, clDate = 2, clBool = 3 };

int ClassOf(paradox::TPdxFieldType t) {
  using P = paradox::TPdxFieldType;
  switch (t) {
    case P::Short: case P::Long: case P::Autoinc: case P::Number: case P::Currency: case P::BCD: case P::Int64:
      return clNumber;
    case P::Date: case P::Time: case P::Timestamp:
      return clDate;
    case P::Logical:
      return clBool;
    default:
      return clText;  // Alpha, memos, bytes and blobs compare byte by byte
  }
}

int ClassOfValue(const Variant& v) {
  switch (v.VarType()) {
    case varString: return clText;
    case varBoolean: return clBool;
    case varDate: return clDate;
    default: return clNumber;
  }
}

// Dates written as text: yyyy-mm-dd, dd.mm.yyyy or mm/dd/yyyy, each with an optional time
// hh:nn[:ss]; or a time alone.
bool ParseDateText(const std::string& s, double& out) {
  int a = 0, b = 0, c = 0, h = 0, n = 0, sec = 0, used = 0;
  std::string t = Trim(s);
  const char* p = t.c_str();
  int y = 0, m = 0, d = 0;
  if (std::sscanf(p, "%4d-%2d-%2d%n", &a, &b, &c, &used) == 3) {
    y = a, m = b, d = c;
  } else if (std::sscanf(p, "%2d.%2d.%4d%n", &a, &b, &c, &used) == 3) {
    d = a, m = b, y = c;
  } else if (std::sscanf(p, "%2d/%2d/%4d%n", &a, &b, &c, &used) == 3) {
    m = a, d = b, y = c;
  } else if (std::sscanf(p, "%2d:%2d%n", &h, &n, &used) == 2) {
    int u2 = 0;
    if (std::sscanf(p + used, ":%2d%n", &sec, &u2) == 1) used += u2;
    if (p[used] != '\0' || h > 23 || n > 59 || sec > 59) return false;
    out = EncodeTime(h, n, sec, 0);
    return true;
  } else {
    return false;
  }
  TDateTime date = 0;
  if (!TryEncodeDate(y, m, d, date)) return false;
  const char* rest = p + used;
  while (*rest == ' ' || *rest == 'T') ++rest;
  if (*rest) {
    int u = 0;
    if (std::sscanf(rest, "%2d:%2d%n", &h, &n, &u) != 2) return false;
    rest += u;
    if (std::sscanf(rest, ":%2d%n", &sec, &u) == 1) rest += u;
    if (*rest || h > 23 || n > 59 || sec > 59) return false;
  }
  out = date + (date >= 0 ? 1 : -1) * EncodeTime(h, n, sec, 0);
  return true;
}

// A constant converted to the kind of value it is compared with.
Variant Coerce(const Variant& v, int cls) {
  switch (cls) {
    case clText:
      return v.IsString() ? v : Variant(v.ToString());
    case clNumber:
      if (v.IsString()) {
        double d = 0;
        if (TryStrToFloat(v.StrRef(), d)) return Variant(d);
        char* end = nullptr;
        std::string s = Trim(v.StrRef());
        d = std::strtod(s.c_str(), &end);
        if (s.empty() || *end != '\0') throw EConvertError("\"" + v.StrRef() + "\" не является числом"_ansi);
        return Variant(d);
      }
      return Variant(v.ToDouble());
    case clDate:
      if (v.IsString()) {
        double d = 0;
        if (!ParseDateText(v.StrRef(), d)) throw EConvertError("\"" + v.StrRef() + "\" не является ни датой, ни временем"_ansi);
        return Variant::FromDateTime(d);
      }
      return Variant::FromDateTime(v.ToDouble());
    default:
      return Variant(v.ToBool());
  }
}

int Sign(double x) { return x < 0 ? -1 : (x > 0 ? 1 : 0); }

// Compares two non-null values as the class says.
int CompareAs(const Variant& a, const Variant& b, int cls) {
  switch (cls) {
    case clText: {
      std::string xs, ys;  // only for values that are no strings
      const std::string& x = a.IsString() ? a.StrRef() : (xs = a.ToString());
      const std::string& y = b.IsString() ? b.StrRef() : (ys = b.ToString());
      int r = x.compare(y);
      return r < 0 ? -1 : (r > 0 ? 1 : 0);
    }
    case clBool:
      return int(a.ToBool()) - int(b.ToBool());
    default:
      return Sign(a.ToDouble() - b.ToDouble());
  }
}

bool Holds(TCompareOp op, int r) {
  switch (op) {
    case TCompareOp::Eq: return r == 0;
    case TCompareOp::Ne: return r != 0;
    case TCompareOp::Lt: return r < 0;
    case TCompareOp::Gt: return r > 0;
    case TCompareOp::Le: return r <= 0;
    case TCompareOp::Ge: return r >= 0;
  }
  return false;
}

[[noreturn]] void NameError(const TStatement& st, int pos, const std::string& what) {
  throw EDBEngineError(Format("Ошибка в запросе, позиция %d: %s; запрос: %s"_ansi, {pos, what, st.Text}),
                       TDBErrorKind::NotFound);
}

std::string NotTheTable(const TStatement& st, const std::string& qualifier) {
  return "префикс \""_ansi + qualifier + "\" не совпадает с именем таблицы \""_ansi + st.Table + "\"";
}

// Ties a column reference to its table field.
void ResolveColumn(const TStatement& st, const paradox::TPdxTableDef& def, TColumnRef& c) {
  if (!c.Qualifier.empty() && !AnsiSameText(c.Qualifier, st.Table))
    NameError(st, c.Pos, NotTheTable(st, c.Qualifier));
  c.Field = def.FieldIndex(c.Name);
  if (c.Field < 0) NameError(st, c.Pos, "поля \""_ansi + c.Name + "\" нет в таблице \""_ansi + st.Table + "\"");
}

void ResolveExpr(const TStatement& st, const paradox::TPdxTableDef& def, TExpr* e) {
  if (!e) return;
  if (e->Kind == TExprKind::Column) ResolveColumn(st, def, e->Column);
  ResolveExpr(st, def, e->Left.get());
  ResolveExpr(st, def, e->Right.get());
}

}  // namespace

// Ties every column of the statement to a field of the table's structure.
void Resolve(TStatement& st, const paradox::TPdxTableDef& def) {
  bool count = false;
  for (auto& item : st.Items) {
    if (item.Kind == TItemKind::Column) ResolveColumn(st, def, item.Column);
    if (item.Kind == TItemKind::Star && !item.Column.Qualifier.empty() &&
        !AnsiSameText(item.Column.Qualifier, st.Table))
      NameError(st, item.Column.Pos, NotTheTable(st, item.Column.Qualifier));
    if (item.Kind == TItemKind::Count) count = true;
  }
  if (count && st.Items.size() != 1)
    SyntaxError(st.Text, st.Items[0].Column.Pos, "COUNT(*) нельзя выбирать вместе с другими столбцами"_ansi);
  if (count && !st.OrderBy.empty()) SyntaxError(st.Text, st.OrderBy[0].Column.Pos, "с COUNT(*) нельзя задать ORDER BY"_ansi);
  ResolveExpr(st, def, st.Where.get());
  for (auto& o : st.OrderBy)
    if (o.Position == 0) ResolveColumn(st, def, o.Column);
  std::vector<int> seen;
  for (auto& c : st.Columns) {
    ResolveColumn(st, def, c);
    if (std::find(seen.begin(), seen.end(), c.Field) != seen.end())
      NameError(st, c.Pos, "поле \""_ansi + c.Name + "\" названо дважды"_ansi);
    seen.push_back(c.Field);
  }
  if (st.Kind == TStatementKind::Insert && st.Columns.empty() && st.Values.size() != def.Fields.size())
    SyntaxError(st.Text, st.TablePos,
                Format("в таблице \"%s\" полей: %d, а значений задано: %d"_ansi, {st.Table, int(def.Fields.size()), int(st.Values.size())}));
  seen.clear();
  for (auto& a : st.Sets) {
    ResolveColumn(st, def, a.Column);
    if (std::find(seen.begin(), seen.end(), a.Column.Field) != seen.end())
      NameError(st, a.Column.Pos, "полю \""_ansi + a.Column.Name + "\" значение присвоено дважды"_ansi);
    seen.push_back(a.Column.Field);
  }
}

namespace {

// The values of the current row, decoded one column at a time as they are asked for.
class TRow {
 public:
  explicit TRow(paradox::TPdxCursor* cursor)
      : FCursor(cursor), FValues(cursor->Def().Fields.size()), FHave(FValues.size(), 0), FKeep(FValues.size(), 0) {
    using P = paradox::TPdxFieldType;
    for (size_t f = 0; f < FKeep.size(); ++f) {
      const P t = cursor->Def().Fields[f].Type;
      FKeep[f] = t == P::Memo || t == P::FmtMemo || t == P::Blob || t == P::Graphic || t == P::OLE;
    }
  }
  // The value, decoded once a row and kept.
  const Variant& Get(int field) {
    if (!FHave[static_cast<size_t>(field)]) {
      FValues[static_cast<size_t>(field)] = FCursor->Value(field);
      FHave[static_cast<size_t>(field)] = 1;
    }
    return FValues[static_cast<size_t>(field)];
  }
  // The value for a caller that takes its own copy. A field not decoded yet is decoded for the
  // caller alone, which costs no more than copying a kept value, unless its value is in the blob
  // file: that is read once a row and kept.
  Variant Copy(int field) {
    const size_t f = static_cast<size_t>(field);
    if (FHave[f] || FKeep[f]) return Get(field);
    return FCursor->Value(field);
  }
  void Moved() { std::fill(FHave.begin(), FHave.end(), 0); }
  paradox::TPdxCursor& Cursor() { return *FCursor; }

 private:
  paradox::TPdxCursor* FCursor;
  std::vector<Variant> FValues;
  std::vector<uint8_t> FHave;
  std::vector<uint8_t> FKeep;  // fields kept once decoded: those whose value is in the blob file
};

// Conditions over rows of one table with the parameter values of one execution. The values are
// the parameters' own (no copies: a blob may be hundreds of megabytes) and must outlive it.
class TEvaluator {
 public:
  TEvaluator(const paradox::TPdxTableDef& def, std::vector<Variant*> params) : FDef(def), FParams(std::move(params)) {}

  const Variant& Const(const TExpr& e) const {
    return e.Kind == TExprKind::Param ? *FParams[static_cast<size_t>(e.Param)] : e.Literal;
  }
  Variant& Param(int mark) { return *FParams[static_cast<size_t>(mark)]; }

  // Fixes how each comparison compares and converts its constant side once.
  void Bind(TExpr* e) {
    if (!e) return;
    Bind(e->Left.get());
    Bind(e->Right.get());
    if (e->Kind != TExprKind::Compare) return;
    bool lc = e->Left->Kind == TExprKind::Column, rc = e->Right->Kind == TExprKind::Column;
    e->ConstSide = 0;
    e->CompareClass = -1;
    if (lc && rc) {
      int a = ClassOf(FDef.Fields[static_cast<size_t>(e->Left->Column.Field)].Type);
      int b = ClassOf(FDef.Fields[static_cast<size_t>(e->Right->Column.Field)].Type);
      e->CompareClass = a == b ? a : (a != clText && b != clText ? clNumber : clText);
    } else if (lc || rc) {
      const TExpr& col = lc ? *e->Left : *e->Right;
      const TExpr& other = lc ? *e->Right : *e->Left;
      const auto& field = FDef.Fields[static_cast<size_t>(col.Column.Field)];
      e->CompareClass = ClassOf(field.Type);
      e->ConstSide = lc ? 2 : 1;
      const Variant& v = Const(other);
      if (v.IsNull() || v.IsEmpty()) {
        e->Const = Variant::Null();
      } else {
        try {
          e->Const = Coerce(v, e->CompareClass);
        } catch (const Exception& x) {
          throw EDBEngineError("Нельзя сравнить поле \""_ansi + field.Name + "\" со значением \""_ansi + v.ToString() +
                                   "\": " + x.Message(), TDBErrorKind::Value);
        }
      }
    }
  }

  TTri Eval(const TExpr& e, TRow& row) const {
    switch (e.Kind) {
      case TExprKind::And: {
        TTri a = Eval(*e.Left, row);
        if (a == TTri::False) return a;
        TTri b = Eval(*e.Right, row);
        if (b == TTri::False) return b;
        return a == TTri::True && b == TTri::True ? TTri::True : TTri::Unknown;
      }
      case TExprKind::Or: {
        TTri a = Eval(*e.Left, row);
        if (a == TTri::True) return a;
        TTri b = Eval(*e.Right, row);
        if (b == TTri::True) return b;
        return a == TTri::False && b == TTri::False ? TTri::False : TTri::Unknown;
      }
      case TExprKind::Not: {
        TTri a = Eval(*e.Left, row);
        return a == TTri::Unknown ? a : (a == TTri::True ? TTri::False : TTri::True);
      }
      case TExprKind::IsNull: {
        const Variant& v = Value(*e.Left, row);
        bool isNull = v.IsNull() || v.IsEmpty();
        return isNull != e.Negated ? TTri::True : TTri::False;
      }
      case TExprKind::Compare: {
        const Variant& a = e.ConstSide == 1 ? e.Const : Value(*e.Left, row);
        const Variant& b = e.ConstSide == 2 ? e.Const : Value(*e.Right, row);
        if (a.IsNull() || a.IsEmpty() || b.IsNull() || b.IsEmpty()) return TTri::Unknown;
        int cls = e.CompareClass;
        if (cls < 0) {
          int ca = ClassOfValue(a), cb = ClassOfValue(b);
          cls = ca == cb ? ca : (ca != clText && cb != clText ? clNumber : clText);
        }
        return Holds(e.Op, CompareAs(a, b, cls)) ? TTri::True : TTri::False;
      }
      default:
        return TTri::Unknown;  // the parser builds no other kind of condition
    }
  }

  bool Matches(const TExpr* where, TRow& row) const { return !where || Eval(*where, row) == TTri::True; }

 private:
  const Variant& Value(const TExpr& e, TRow& row) const {
    return e.Kind == TExprKind::Column ? row.Get(e.Column.Field) : Const(e);
  }
  const paradox::TPdxTableDef& FDef;
  std::vector<Variant*> FParams;
};

// The values a writing statement gives a row. A parameter's value of up to kCopiedBytes is copied
// into the row, which costs less than lending it; a longer one (a blob may be hundreds of
// megabytes) is put in without copying: moved into the row and moved back when the guard goes,
// after the row has been written or writing it raised, so the parameter keeps its value. Every
// mark is a parameter of its own, so no value is lent twice. The marks lent are noted in `lent`,
// emptied first: a statement passes the same vector for every row, so that a row allocates
// nothing.
class TLentValues {
 public:
  TLentValues(std::vector<Variant>& row, const std::vector<Variant*>& params, TLentMarks& lent)
      : FRow(row), FParams(params), FLent(lent) {
    FLent.clear();
  }
  TLentValues(const TLentValues&) = delete;
  TLentValues& operator=(const TLentValues&) = delete;
  ~TLentValues() {
    for (auto& [field, mark] : FLent) *FParams[mark] = std::move(FRow[field]);
  }
  void Put(int field, const TExpr& value) {
    const size_t f = static_cast<size_t>(field);
    if (value.Kind != TExprKind::Param) {
      FRow[f] = value.Literal;
      return;
    }
    const size_t mark = static_cast<size_t>(value.Param);
    Variant& param = *FParams[mark];
    if (!param.IsString() || param.StrRef().size() <= kCopiedBytes) {
      FRow[f] = param;
      return;
    }
    FRow[f] = std::move(param);
    FLent.emplace_back(f, mark);
  }

 private:
  static constexpr size_t kCopiedBytes = 256;
  std::vector<Variant>& FRow;
  const std::vector<Variant*>& FParams;
  TLentMarks& FLent;
};

}  // namespace

namespace {

// Rows straight from the table.
class TScanResult : public TResult {
 public:
  // The result keeps its own copies of the parameter values: they may change while it is open.
  TScanResult(std::unique_ptr<paradox::TPdxCursor> cursor, const TExpr* where, std::vector<int> columns,
              const std::vector<Variant*>& params)
      : FCursor(std::move(cursor)), FRow(FCursor.get()), FParams(Copies(params)),
        FEval(FCursor->Def(), Pointers(FParams)), FWhere(where), FColumns(std::move(columns)) {}
  bool Fetch() override {
    while (FCursor->Next()) {
      FRow.Moved();
      if (FEval.Matches(FWhere, FRow)) return true;
    }
    return false;
  }
  Variant Value(int column) override { return FRow.Copy(FColumns[static_cast<size_t>(column)]); }

 private:
  static std::vector<Variant> Copies(const std::vector<Variant*>& params) {
    std::vector<Variant> out;
    out.reserve(params.size());
    for (const Variant* p : params) out.push_back(*p);
    return out;
  }
  static std::vector<Variant*> Pointers(std::vector<Variant>& values) {
    std::vector<Variant*> out;
    out.reserve(values.size());
    for (Variant& v : values) out.push_back(&v);
    return out;
  }
  std::unique_ptr<paradox::TPdxCursor> FCursor;
  TRow FRow;
  std::vector<Variant> FParams;
  TEvaluator FEval;
  const TExpr* FWhere;
  std::vector<int> FColumns;
};

// Rows held in memory: a sorted result, or the one row of a count.
class THeldResult : public TResult {
 public:
  explicit THeldResult(std::vector<std::vector<Variant>> rows) : FRows(std::move(rows)) {}
  bool Fetch() override {
    if (FNext >= FRows.size()) return false;
    FCurrent = FNext++;
    return true;
  }
  Variant Value(int column) override { return FRows[FCurrent][static_cast<size_t>(column)]; }

 private:
  std::vector<std::vector<Variant>> FRows;
  size_t FNext = 0, FCurrent = 0;
};

// --- the steps of running a statement -------------------------------------------------------------

// Whether the statement is a COUNT(*) of every row: the table's record count answers it.
bool CountsEveryRow(const TStatement& st) {
  return st.Items.size() == 1 && st.Items[0].Kind == TItemKind::Count && !st.Where && st.OrderBy.empty();
}

// The one row of a COUNT(*).
std::unique_ptr<TResult> CountResult(int32_t n) {
  return std::make_unique<THeldResult>(std::vector<std::vector<Variant>>{{Variant(n)}});
}

// The one row of a COUNT(*): how many rows match.
std::unique_ptr<TResult> CountResult(paradox::TPdxCursor& cursor, const TStatement& st, const TEvaluator& eval) {
  TRow row(&cursor);
  int32_t n = 0;
  while (cursor.Next()) {
    row.Moved();
    if (eval.Matches(st.Where.get(), row)) ++n;
  }
  return CountResult(n);
}

// The matching rows, held and sorted as ORDER BY says; `columns` are the table fields of the
// result columns.
std::unique_ptr<TResult> SortedResult(paradox::TPdxCursor& cursor, const TStatement& st, const TEvaluator& eval,
                                      const std::vector<int>& columns) {
  const paradox::TPdxTableDef& def = cursor.Def();
  // Each held row: the result columns, then the sort keys.
  std::vector<int> keys;
  std::vector<int> classes;
  for (auto& o : st.OrderBy) {
    int f = o.Column.Field;
    if (o.Position > 0) {
      if (o.Position > static_cast<int>(columns.size()))
        SyntaxError(st.Text, o.Column.Pos, Format("ORDER BY %d, а столбцов в результате: %d"_ansi, {o.Position, int(columns.size())}));
      f = columns[static_cast<size_t>(o.Position - 1)];
    }
    keys.push_back(f);
    classes.push_back(ClassOf(def.Fields[static_cast<size_t>(f)].Type));
  }
  std::vector<std::vector<Variant>> rows;
  TRow row(&cursor);
  while (cursor.Next()) {
    row.Moved();
    if (!eval.Matches(st.Where.get(), row)) continue;
    std::vector<Variant> r;
    r.reserve(columns.size() + keys.size());
    for (int f : columns) r.push_back(row.Get(f));
    for (int f : keys) r.push_back(row.Get(f));
    rows.push_back(std::move(r));
  }
  size_t base = columns.size();
  std::stable_sort(rows.begin(), rows.end(), [&](const std::vector<Variant>& a, const std::vector<Variant>& b) {
    for (size_t k = 0; k < keys.size(); ++k) {
      const Variant& x = a[base + k];
      const Variant& y = b[base + k];
      bool xn = x.IsNull() || x.IsEmpty(), yn = y.IsNull() || y.IsEmpty();
      // Nulls sort first.
      int r = xn || yn ? (xn && yn ? 0 : (xn ? -1 : 1)) : CompareAs(x, y, classes[k]);
      if (st.OrderBy[k].Descending) r = -r;
      if (r != 0) return r < 0;
    }
    return false;
  });
  return std::make_unique<THeldResult>(std::move(rows));
}

// The writing statements count each row as it is written into `affected`, so that the count
// stays right when a later row fails.

// `row` holds a value for every field of the table: Null in the fields the statement leaves out,
// and whatever the last execution left in the others, which are all given a value here.
void InsertRow(paradox::TPdxTable& table, const TStatement& st, const std::vector<Variant*>& params,
               std::vector<Variant>& row, TLentMarks& marks, int& affected) {
  TLentValues lent(row, params, marks);
  for (size_t i = 0; i < st.Values.size(); ++i)
    lent.Put(st.Columns.empty() ? static_cast<int>(i) : st.Columns[i].Field, *st.Values[i]);
  table.Append(row);
  affected = 1;
}

void UpdateRows(paradox::TPdxTable& table, const TStatement& st, const std::vector<Variant*>& params, int& affected) {
  const auto& def = table.Def();
  TEvaluator eval(def, params);
  eval.Bind(st.Where.get());
  TLentMarks marks;
  bool movesKey = false;
  for (auto& a : st.Sets)
    if (a.Column.Field < def.KeyFieldCount) movesKey = true;
  auto update = [&](paradox::TPdxRecordPos pos, std::vector<Variant>& values) {
    TLentValues lent(values, params, marks);
    for (auto& a : st.Sets) lent.Put(a.Column.Field, *a.Value);
    table.Update(pos, values);
  };
  auto cursor = table.OpenCursor();
  TRow row(cursor.get());
  if (!movesKey) {
    // In place: no row changes its position, so the scan sees every row once.
    while (cursor->Next()) {
      row.Moved();
      if (!eval.Matches(st.Where.get(), row)) continue;
      std::vector<Variant> values = cursor->Values();
      update(cursor->Position(), values);
      ++affected;
    }
    return;
  }
  std::vector<std::pair<std::vector<Variant>, std::vector<Variant>>> hits;
  while (cursor->Next()) {
    row.Moved();
    if (!eval.Matches(st.Where.get(), row)) continue;
    std::vector<Variant> values = cursor->Values();
    std::vector<Variant> key(values.begin(), values.begin() + def.KeyFieldCount);
    hits.emplace_back(std::move(key), std::move(values));
  }
  cursor.reset();
  for (auto& [key, values] : hits) {
    paradox::TPdxRecordPos pos;
    if (!table.FindKey(key, pos)) continue;
    update(pos, values);
    ++affected;
  }
}

void DeleteRows(paradox::TPdxTable& table, const TStatement& st, const std::vector<Variant*>& params, int& affected) {
  TEvaluator eval(table.Def(), params);
  eval.Bind(st.Where.get());
  std::vector<paradox::TPdxRecordPos> hits;
  {
    auto cursor = table.OpenCursor();
    TRow row(cursor.get());
    while (cursor->Next()) {
      row.Moved();
      if (eval.Matches(st.Where.get(), row)) hits.push_back(cursor->Position());
    }
  }
  // Deleting moves only the later rows of the same block, all of them already gone.
  for (auto it = hits.rbegin(); it != hits.rend(); ++it) {
    table.Delete(*it);
    ++affected;
  }
}

}  // namespace

}  // namespace sql

using detail::Quote;

namespace {

TFieldType TypeOfValue(const Variant& v) {
  switch (v.VarType()) {
    case varString: return ftString;
    case varBoolean: return ftBoolean;
    case varSmallint: case varShortInt: case varByte: return ftSmallint;
    case varInteger: case varWord: case varLongWord: return ftInteger;
    case varInt64: case varUInt64: return ftLargeint;
    case varSingle: case varDouble: return ftFloat;
    case varCurrency: return ftCurrency;
    case varDate: return ftDateTime;
    default: return ftUnknown;
  }
}

}  // namespace

// --- parameters -------------------------------------------------------------------------------------

void TParam::SetValue(const Variant& value) {
  // Assigned rather than copied and moved in: a value of the same kind as the last one reuses
  // its room.
  if (value.IsEmpty())
    FValue = Variant::Null();
  else
    FValue = value;
  if (FDataType == ftUnknown) FDataType = TypeOfValue(FValue);
  FBound = true;
}
void TParam::SetAsBlob(const std::string& bytes) {
  FDataType = ftBlob;
  // A blob may be hundreds of megabytes: the old value goes before the new one is copied.
  if (&bytes != &FValue.StrRef()) FValue = Variant();
  FValue = Variant(bytes);
  FBound = true;
}
void TParam::SetAsString(const std::string& value) {
  FDataType = ftString;
  FValue = Variant(value);
  FBound = true;
}
void TParam::SetAsInteger(int32_t value) {
  FDataType = ftInteger;
  FValue = Variant(value);
  FBound = true;
}
void TParam::SetAsFloat(double value) {
  FDataType = ftFloat;
  FValue = Variant(value);
  FBound = true;
}
void TParam::SetAsDateTime(TDateTime value) {
  FDataType = ftDateTime;
  FValue = Variant::FromDateTime(value);
  FBound = true;
}
void TParam::SetAsBoolean(bool value) {
  FDataType = ftBoolean;
  FValue = Variant(value);
  FBound = true;
}
void TParam::Clear() {
  FValue = Variant::Null();
  FBound = true;
}

void TParams::OutOfRange(int index) const {
  throw EDBEngineError(Format("Parameter index %d out of range (%d parameters)", {index, Count()}), TDBErrorKind::NotFound);
}

TParam* TParams::FindParam(const std::string& name) {
  for (auto& p : FItems)
    if (AnsiSameText(p.Name(), name)) return &p;
  return nullptr;
}

TParam& TParams::ParamByName(const std::string& name) {
  if (TParam* p = FindParam(name)) return *p;
  throw EDBEngineError("Parameter " + Quote(name) + " not found", TDBErrorKind::NotFound);
}

// --- fields ----------------------------------------------------------------------------------------

namespace {

std::string TwoDigits(int v) { return (v < 10 ? "0" : "") + std::to_string(v); }

std::string DateText(TDateTime dt) {
  int y = 0, m = 0, d = 0;
  DecodeDate(dt, y, m, d);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d.%02d.%04d", d, m, y);
  return buf;
}

std::string TimeText(TDateTime dt) {
  int h = 0, n = 0, s = 0, ms = 0;
  DecodeTime(dt, h, n, s, ms);
  return TwoDigits(h) + ":" + TwoDigits(n) + ":" + TwoDigits(s);
}

// The field's value converted by the Variant's own conversion; 0 or False for Null. A value the
// conversion refuses is a Value error naming the field and the kind of value it is not.
template <class T>
T Converted(const TField& field, T (Variant::*convert)() const, const std::string& kind) {
  Variant v = field.AsVariant();
  if (v.IsNull() || v.IsEmpty()) return T{};
  try {
    return (v.*convert)();
  } catch (const Exception&) {
    throw EDBEngineError("Поле \""_ansi + field.FieldName() + "\": значение \""_ansi + v.ToString() +
                             "\" не является "_ansi + kind,
                         TDBErrorKind::Value);
  }
}

}  // namespace

bool TField::IsBlob() const {
  switch (FDataType) {
    case ftBlob: case ftMemo: case ftGraphic: case ftFmtMemo: case ftParadoxOle: case ftDBaseOle:
    case ftTypedBinary: case ftOraBlob: case ftOraClob:
      return true;
    default:
      return false;
  }
}

Variant TField::AsVariant() const { return FQuery->FieldValue(FIndex); }

bool TField::IsNull() const {
  Variant v = AsVariant();
  return v.IsNull() || v.IsEmpty();
}

std::string TField::AsString() const {
  Variant v = AsVariant();
  if (v.IsNull() || v.IsEmpty()) return {};
  switch (FDataType) {
    case ftDate: return DateText(v.ToDateTime());
    case ftTime: return TimeText(v.ToDateTime());
    case ftDateTime: return DateTimeToStr(v.ToDateTime());
    case ftBoolean: return v.ToBool() ? "True" : "False";
    case ftFloat: case ftCurrency: case ftBCD: return FloatToStr(v.ToDouble());
    default: return v.IsString() ? v.StrRef() : v.ToString();
  }
}

int32_t TField::AsInteger() const { return Converted(*this, &Variant::ToInt32, "целым числом"_ansi); }
double TField::AsFloat() const { return Converted(*this, &Variant::ToDouble, "числом"_ansi); }
TDateTime TField::AsDateTime() const { return Converted(*this, &Variant::ToDateTime, "датой"_ansi); }
bool TField::AsBoolean() const { return Converted(*this, &Variant::ToBool, "логическим значением"_ansi); }

// --- queries ---------------------------------------------------------------------------------------

TQuery::TQuery() = default;

TQuery::~TQuery() {
  // The result may read from the server statement, which is destroyed before it.
  FResult.reset();
  try {
    EndWriteBatch();
  } catch (const std::exception& e) {
    ReportLostError(e);
  }
}

std::string TQuery::Text() const {
  std::string t = FSQL.Text();
  while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
  return t;
}

void TQuery::Resync() {
  // A change of the lines that gives the same text leaves the query as it is.
  FSyncedChanges = FSQL.ChangeCount();
  std::string text = FSQL.Text();
  if (FSynced && text == FSyncedText) return;
  FSyncedText = text;
  FSynced = true;
  if (FParamCheck) {
    // A server takes its own SQL: its marks are read by the server's rules ("?" marks have no
    // name and keep no value across texts).
    std::vector<std::string> names;
    if (OnServer())
      PreprocessSQL(text, names);
    else
      names = sql::ParamNames(text);
    TParams fresh;
    for (auto& name : names) {
      fresh.Add(name);
      if (name.empty()) continue;
      if (TParam* old = FParams.FindParam(name)) fresh[fresh.Count() - 1] = *old;
    }
    FParams = std::move(fresh);
  }
  UnPrepare();
}

int TQuery::ParamCount() {
  Sync();
  return FParams.Count();
}

TParams& TQuery::Params() {
  Sync();
  return FParams;
}

void TQuery::Rethrow(const std::string& doing) const {
  std::string text = Text();
  std::string context = (doing.empty() ? "запрос"_ansi : doing + " запроса"_ansi) + ": " + text;
  try {
    throw;
  } catch (const EDBEngineError& e) {
    // The parser's messages quote the statement already.
    if (e.Message().find(text) != std::string::npos) throw;
    throw EDBEngineError(e.Message() + "; " + context, e.Kind());
  } catch (...) {
    detail::RethrowAsEngineError(context);
  }
}

void TQuery::Prepare() {
  Sync();
  if (FStatement || ServerPrepared()) return;
  if (OnServer()) {
    try {
      ServerPrepare(Database());
    } catch (...) {
      Rethrow("подготовка"_ansi);
    }
    return;
  }
  try {
    FStatement = std::make_unique<sql::TStatement>(sql::Parse(Text()));
    sql::TStatement& st = *FStatement;
    if (st.ParamCount > FParams.Count())
      throw EDBEngineError(Format("The statement has %d parameter marks but only %d parameters are defined",
                                  {st.ParamCount, FParams.Count()}), TDBErrorKind::Value);
    CheckTableName(st.Table);
    TDatabase& db = Database();
    switch (st.Kind) {
      case sql::TStatementKind::Select: sql::Resolve(st, db.TableStructure(st.Table)); break;
      case sql::TStatementKind::DropTable: break;
      default: Writer(db); break;
    }
  } catch (...) {
    FStatement.reset();
    Rethrow("подготовка"_ansi);
  }
}

void TQuery::UnPrepare() {
  FResult.reset();
  FFields.clear();
  FServer.reset();
  FStatement.reset();
  EndWriteBatch();
}

paradox::TPdxTable& TQuery::OpenWriter(TDatabase& db) {
  EndWriteBatch();
  detail::CheckWritable(db.Directory(), FStatement->Table);
  auto table = db.Engine().OpenTable(FStatement->Table);
  sql::Resolve(*FStatement, table->Def());
  table->BeginBatch();
  FInsertRow.assign(table->Def().Fields.size(), Variant::Null());
  FWriter = std::move(table);
  FWriterDb = &db;
  FWriterTable = FStatement->Table;
  db.FWriters.push_back(this);
  return *FWriter;
}

void TQuery::EndWriteBatch() {
  if (!FWriter) return;
  std::unique_ptr<paradox::TPdxTable> writer = std::move(FWriter);
  if (FWriterDb) {
    auto& list = FWriterDb->FWriters;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
  std::string table = FWriterTable;
  FWriterDb = nullptr;
  FWriterTable.clear();
  try {
    writer->EndBatch();
  } catch (...) {
    detail::RethrowAsEngineError("запись таблицы "_ansi + Quote(table));
  }
}

const std::vector<Variant*>& TQuery::BoundValues(int count) {
  FBound.resize(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    TParam& p = FParams[i];
    if (!p.Bound()) throw EDBEngineError("No value for parameter :" + p.Name(), TDBErrorKind::Value);
    FBound[static_cast<size_t>(i)] = &p.FValue;  // never Empty once bound: SetValue and Clear give Null
  }
  return FBound;
}

void TQuery::Open() {
  Sync();
  Prepare();
  if (!FStatement) {
    ServerOpen();
    return;
  }
  if (FStatement->Kind != sql::TStatementKind::Select)
    throw EDBEngineError("Open runs a SELECT; run other statements with ExecSQL; statement: " + Text(),
                         TDBErrorKind::Unsupported);
  FResult.reset();
  FFields.clear();
  FRowsAffected = -1;
  try {
    sql::TStatement& st = *FStatement;
    std::vector<Variant*> params = BoundValues(st.ParamCount);
    TDatabase& db = Database();
    auto countField = [&](const sql::TSelectItem& item) {
      FFields.push_back(std::unique_ptr<TField>(
          new TField(this, 0, item.Alias.empty() ? std::string("COUNT") : item.Alias, ftInteger, 0)));
    };
    if (sql::CountsEveryRow(st)) {
      // Nothing to resolve: the statement names no column.
      countField(st.Items[0]);
      FResult = sql::CountResult(static_cast<int32_t>(db.Engine().RecordCount(st.Table)));
      FResult->HasRow = FResult->Fetch();
      return;
    }
    auto cursor = db.Engine().OpenCursor(st.Table);
    const paradox::TPdxTableDef& def = cursor->Def();
    sql::Resolve(st, def);
    std::vector<int> columns;  // table field of each result column
    bool count = false;
    for (auto& item : st.Items) {
      if (item.Kind == sql::TItemKind::Count) {
        count = true;
        countField(item);
        continue;
      }
      std::vector<int> fields;
      if (item.Kind == sql::TItemKind::Star) {
        for (size_t f = 0; f < def.Fields.size(); ++f) fields.push_back(static_cast<int>(f));
      } else {
        fields.push_back(item.Column.Field);
      }
      for (int f : fields) {
        TFieldDef fd = detail::ToFieldDef(def.Fields[static_cast<size_t>(f)]);
        std::string name = item.Kind == sql::TItemKind::Column && !item.Alias.empty() ? item.Alias : fd.Name;
        FFields.push_back(std::unique_ptr<TField>(
            new TField(this, static_cast<int>(FFields.size()), name, fd.DataType, fd.Size)));
        columns.push_back(f);
      }
    }
    sql::TEvaluator eval(def, params);
    eval.Bind(st.Where.get());
    if (count)
      FResult = sql::CountResult(*cursor, st, eval);
    else if (!st.OrderBy.empty())
      FResult = sql::SortedResult(*cursor, st, eval, columns);
    else
      FResult = std::make_unique<sql::TScanResult>(std::move(cursor), st.Where.get(), std::move(columns), params);
    FResult->HasRow = FResult->Fetch();
  } catch (...) {
    FResult.reset();
    FFields.clear();
    Rethrow("");
  }
}

void TQuery::ExecSQL() {
  Sync();
  if (!FStatement) Prepare();
  if (!FStatement) {
    ServerExec();
    return;
  }
  if (FStatement->Kind == sql::TStatementKind::Select) {
    Open();
    Close();
    return;
  }
  FRowsAffected = 0;
  try {
    sql::TStatement& st = *FStatement;
    const std::vector<Variant*>& params = BoundValues(st.ParamCount);
    TDatabase& db = Database();
    switch (st.Kind) {
      case sql::TStatementKind::Select:
        break;
      case sql::TStatementKind::DropTable:
        detail::CheckWritable(db.Directory(), st.Table);
        db.EndWriteBatches(st.Table);
        db.TableChanging(st.Table);
        db.Engine().DeleteTable(st.Table);
        break;
      case sql::TStatementKind::Insert:
        sql::InsertRow(Writer(db), st, params, FInsertRow, FLentMarks, FRowsAffected);
        break;
      case sql::TStatementKind::Update:
        sql::UpdateRows(Writer(db), st, params, FRowsAffected);
        break;
      case sql::TStatementKind::Delete:
        sql::DeleteRows(Writer(db), st, params, FRowsAffected);
        break;
    }
  } catch (...) {
    Rethrow("");
  }
}

void TQuery::Close() {
  FResult.reset();
  FFields.clear();
  EndWriteBatch();
}

void TQuery::CheckActive() const {
  if (!FResult) throw EDBEngineError("The query is not open; statement: " + Text(), TDBErrorKind::Unsupported);
}

// Only a server's cursor goes away under a result (see TResult::Closed).
bool TQuery::Eof() const { return !FResult || !FResult->HasRow || (FServer && FResult->Closed()); }

void TQuery::Next() {
  CheckActive();
  if (!FResult->HasRow) return;
  try {
    FResult->HasRow = FResult->Fetch();
  } catch (...) {
    FResult->HasRow = false;
    Rethrow("чтение следующей строки"_ansi);
  }
}

Variant TQuery::FieldValue(int index) const {
  CheckActive();
  if (!FResult->HasRow || (FServer && FResult->Closed())) return Variant::Null();
  try {
    return FResult->Value(index);
  } catch (...) {
    Rethrow("чтение поля "_ansi + Quote(FFields[static_cast<size_t>(index)]->FieldName()));
  }
}

TField& TQuery::Fields(int index) {
  CheckActive();
  if (index < 0 || index >= FieldCount())
    throw EDBEngineError(Format("Нет поля с номером %d (полей в результате: %d); запрос: %s"_ansi, {index, FieldCount(), Text()}),
                         TDBErrorKind::NotFound);
  return *FFields[static_cast<size_t>(index)];
}

TField* TQuery::FindField(const std::string& name) {
  for (auto& f : FFields)
    if (AnsiSameText(f->FieldName(), name)) return f.get();
  return nullptr;
}

TField& TQuery::FieldByName(const std::string& name) {
  if (TField* f = FindField(name)) return *f;
  throw EDBEngineError("Поля "_ansi + Quote(name) + " нет в результате запроса: "_ansi + Text(), TDBErrorKind::NotFound);
}

std::unique_ptr<TStream> TQuery::CreateBlobStream(const TField& field, TBlobStreamMode mode) {
  if (mode != bmRead)
    throw EDBEngineError("Blob streams of a query read only (field " + Quote(field.FieldName()) + ")", TDBErrorKind::Unsupported);
  Variant v = FieldValue(field.Index());
  if (v.IsNull() || v.IsEmpty()) return std::make_unique<TMemoryStream>();
  return std::make_unique<TMemoryStream>(v.IsString() ? v.StrRef() : v.ToString());
}

}  // namespace bde

// --- queries on a server ---------------------------------------------------------------------------

namespace bde {

bool TQuery::ServerPrepared() const { return FServer && FServer->Connection && FServer->SQL.Prepared(); }

void TQuery::ServerPrepare(TDatabase& db) {
  if (!FServer) {
    FServer = std::make_unique<detail::TServerStatement>();
    // The first row is fetched by the result, as for every other cursor.
    FServer->SQL.SetGoToFirstRecordOnExecute(false);
  }
  FServer->Attach(db.Server());
  TIBSQL& q = FServer->SQL;
  q.SQL().SetText(Text());
  q.Prepare();
  if (q.Params().Count() > FParams.Count())
    throw EDBEngineError(Format("The statement has %d parameter marks but only %d parameters are defined",
                                {q.Params().Count(), FParams.Count()}), TDBErrorKind::Value);
}

void TQuery::BindServerParams() {
  TIBXSQLDA& marks = FServer->SQL.Params();
  if (marks.Count() > FParams.Count())
    throw EDBEngineError(Format("The statement has %d parameter marks but only %d parameters are defined",
                                {marks.Count(), FParams.Count()}), TDBErrorKind::Value);
  for (int i = 0; i < marks.Count(); ++i) {
    TParam& p = FParams[i];
    if (!p.Bound()) {
      // Marks of one name share one value: a later mark may be left unset.
      bool shared = false;
      for (int j = 0; j < i && !p.Name().empty(); ++j)
        shared = shared || (FParams[j].Bound() && AnsiSameText(FParams[j].Name(), p.Name()));
      if (!shared)
        throw EDBEngineError(p.Name().empty() ? Format("No value for parameter %d", {i + 1})
                                              : "No value for parameter :" + p.Name(),
                             TDBErrorKind::Value);
      continue;
    }
    detail::BindServerParam(marks[i], p);
  }
}

void TQuery::ServerOpen() {
  FResult.reset();
  FFields.clear();
  FRowsAffected = -1;
  try {
    TDatabase& db = Database();
    FServer->Attach(db.Server());
    TIBSQL& q = FServer->SQL;
    TIBSQLTypes type = q.SQLType();
    if (type != SQLSelect && type != SQLSelectForUpdate)
      throw EDBEngineError("Open runs a SELECT; run other statements with ExecSQL; statement: " + Text(),
                           TDBErrorKind::Unsupported);
    BindServerParams();
    q.ExecQuery();
    TIBXSQLDA& columns = q.Current();
    for (int i = 0; i < columns.Count(); ++i) {
      const TIBXSQLVAR& c = columns[i];
      TFieldType ft = detail::ServerFieldType(c);
      int size = ft == ftString ? c.SQLLen() : 0;
      FFields.push_back(std::unique_ptr<TField>(new TField(this, i, c.Name(), ft, size)));
    }
    FResult = std::make_unique<detail::TServerResult>(q);
    FResult->HasRow = FResult->Fetch();
  } catch (...) {
    FResult.reset();
    FFields.clear();
    Rethrow("");
  }
}

void TQuery::ServerExec() {
  FResult.reset();
  FFields.clear();
  FRowsAffected = 0;
  try {
    detail::TServerConnection& connection = Database().Server();
    try {
      FServer->Attach(connection);
      TIBSQL& q = FServer->SQL;
      TIBSQLTypes type = q.SQLType();
      if (type == SQLSelect || type == SQLSelectForUpdate) {
        ServerOpen();
        Close();
        return;
      }
      if (type == SQLDDL) connection.ReleaseIdleStatements(FServer.get());
      BindServerParams();
      q.ExecQuery();
      FRowsAffected = q.RowsAffected();
    } catch (...) {
      connection.RethrowAfterAutoRollback();
    }
    connection.AutoCommit();
  } catch (...) {
    Rethrow("");
  }
}

}  // namespace bde
