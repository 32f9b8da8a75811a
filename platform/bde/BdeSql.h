// The local SQL that queries run against the tables of a Paradox folder: its syntax tree and
// parser.
//
//   statement := select | insert | update | delete | drop  [";"]
//   select    := SELECT items FROM table [WHERE cond] [ORDER BY order {"," order}]
//   items     := "*" | item {"," item}
//   item      := column [AS name] | name "." "*" | COUNT "(" "*" ")" [AS name]
//   insert    := INSERT INTO table ["(" column {"," column} ")"] VALUES "(" value {"," value} ")"
//   update    := UPDATE table SET column "=" value {"," column "=" value} [WHERE cond]
//   delete    := DELETE FROM table [WHERE cond]
//   drop      := DROP TABLE table
//   cond      := term {OR term};  term := factor {AND factor}
//   factor    := NOT factor | "(" cond ")" | operand op operand | operand IS [NOT] NULL
//   op        := "=" | "<>" | "!=" | "<" | ">" | "<=" | ">="
//   operand   := column | value
//   value     := ":"name | 'text' (a quote doubled inside) | [-]number | NULL | TRUE | FALSE
//   column    := name | name "." name      (the qualifier is the table's name)
//   order     := (column | position) [ASC | DESC]
//   name      := bare name (letters, digits, "_", "$", "#", bytes 0x80-0xFF; not starting with a
//                digit) | "double-quoted name" (a double quote doubled inside)
//
// Keywords are case-insensitive and reserved only where the grammar expects them; a name that
// holds blanks must be quoted. A table name may end in ".DB". Errors raise EDBEngineError (Syntax)
// quoting the statement and the position where reading stopped.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/rtl/Variant.h"

namespace bde::sql {

// A column as written: optional qualifier, name, and where it stands in the text (for messages).
struct TColumnRef {
  std::string Qualifier;
  std::string Name;
  int Pos = 0;
  int Field = -1;  // the table field, set when the statement is resolved
};

enum class TExprKind { Column, Param, Literal, Compare, And, Or, Not, IsNull };
enum class TCompareOp { Eq, Ne, Lt, Gt, Le, Ge };

struct TExpr {
  TExprKind Kind = TExprKind::Literal;
  TCompareOp Op = TCompareOp::Eq;  // Compare
  bool Negated = false;            // IsNull: IS NOT NULL
  TColumnRef Column;               // Column
  int Param = -1;                  // Param: position among the statement's marks
  Variant Literal;                 // Literal (Null for NULL)
  std::unique_ptr<TExpr> Left, Right;  // Compare, And, Or; Not and IsNull use Left
  // Compare, set when the statement is bound to its parameter values: how the two sides compare
  // (-1: by the values' own types) and, when one side is a constant, that constant converted to
  // the other side's column type (ConstSide 1: left, 2: right).
  int CompareClass = -1;
  int ConstSide = 0;
  Variant Const;
};
using TExprPtr = std::unique_ptr<TExpr>;

enum class TStatementKind { Select, Insert, Update, Delete, DropTable };

enum class TItemKind { Star, Column, Count };

struct TSelectItem {
  TItemKind Kind = TItemKind::Star;
  TColumnRef Column;  // Column; for Star its Qualifier when written "T.*"
  std::string Alias;
};

struct TOrderItem {
  TColumnRef Column;  // Column.Name empty when given by position
  int Position = 0;   // 1-based position in the select list, or 0
  bool Descending = false;
};

struct TAssignment {
  TColumnRef Column;
  TExprPtr Value;
};

struct TStatement {
  TStatementKind Kind = TStatementKind::Select;
  std::string Text;   // the statement as parsed
  std::string Table;  // without ".DB"
  int TablePos = 0;
  std::vector<TSelectItem> Items;  // Select
  TExprPtr Where;                  // Select, Update, Delete; null when absent
  std::vector<TOrderItem> OrderBy;
  std::vector<TColumnRef> Columns;  // Insert; empty: every column in table order
  std::vector<TExprPtr> Values;     // Insert
  std::vector<TAssignment> Sets;    // Update
  int ParamCount = 0;               // marks in the text
};

// The rows of an open query, read forward.
class TResult {
 public:
  virtual ~TResult() = default;
  // Moves to the next row; false at the end.
  virtual bool Fetch() = 0;
  virtual Variant Value(int column) = 0;
  // True when the rows went away under the cursor (a server cursor whose transaction ended).
  virtual bool Closed() const { return false; }
  bool HasRow = false;
};

// Parses one statement.
TStatement Parse(const std::string& text);

// The names of the ":name" marks in text order, outside quoted texts and names; a mark's name is
// the run of name characters after the colon.
std::vector<std::string> ParamNames(const std::string& text);

// Raises the Syntax error for a statement: what went wrong, the 1-based position, the text near
// it and the whole statement.
[[noreturn]] void SyntaxError(const std::string& text, int pos, const std::string& what);

}  // namespace bde::sql
