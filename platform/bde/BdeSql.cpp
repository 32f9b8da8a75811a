// Lexer and recursive-descent parser of the local SQL (grammar in BdeSql.h).
#include "platform/bde/BdeSql.h"

#include <cstdlib>

#include "platform/bde/Bde.h"
#include "platform/rtl/SysUtils.h"

namespace bde::sql {

namespace {

bool IsNameStart(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '$' || c == '#' || c >= 0x80;
}
bool IsNameChar(unsigned char c) { return IsNameStart(c) || (c >= '0' && c <= '9'); }
bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

// The hint for a name with blanks that was written bare.
const std::string& QuoteBlanksHint() { return "имя с пробелами нужно заключить в двойные кавычки"_ansi; }

enum class TTok { End, Name, QuotedName, Param, String, Number, Symbol };

struct TToken {
  TTok Kind = TTok::End;
  std::string Text;  // name (unquoted), parameter name, string value, number text or symbol
  int Pos = 0;       // 0-based offset
};

class TLexer {
 public:
  explicit TLexer(const std::string& text) : FText(text) {}

  TToken Next() {
    const std::string& s = FText;
    size_t n = s.size();
    while (FPos < n && static_cast<unsigned char>(s[FPos]) <= ' ') ++FPos;
    TToken t;
    t.Pos = static_cast<int>(FPos);
    if (FPos >= n) return t;
    unsigned char c = static_cast<unsigned char>(s[FPos]);
    if (c == '\'' || c == '"') {
      t.Kind = c == '\'' ? TTok::String : TTok::QuotedName;
      ++FPos;
      for (;;) {
        if (FPos >= n)
          SyntaxError(s, t.Pos, c == '\'' ? "не закрыта кавычка текста"_ansi : "не закрыта кавычка имени"_ansi);
        if (static_cast<unsigned char>(s[FPos]) == c) {
          if (FPos + 1 < n && static_cast<unsigned char>(s[FPos + 1]) == c) {
            t.Text += s[FPos];
            FPos += 2;
            continue;
          }
          ++FPos;
          break;
        }
        t.Text += s[FPos++];
      }
      if (t.Kind == TTok::QuotedName && t.Text.empty()) SyntaxError(s, t.Pos, "пустое имя в кавычках"_ansi);
      return t;
    }
    if (c == ':' && FPos + 1 < n && IsNameChar(static_cast<unsigned char>(s[FPos + 1]))) {
      t.Kind = TTok::Param;
      ++FPos;
      while (FPos < n && IsNameChar(static_cast<unsigned char>(s[FPos]))) t.Text += s[FPos++];
      return t;
    }
    if (IsDigit(c) || (c == '.' && FPos + 1 < n && IsDigit(static_cast<unsigned char>(s[FPos + 1])))) {
      t.Kind = TTok::Number;
      while (FPos < n && IsDigit(static_cast<unsigned char>(s[FPos]))) t.Text += s[FPos++];
      if (FPos < n && s[FPos] == '.') {
        t.Text += s[FPos++];
        while (FPos < n && IsDigit(static_cast<unsigned char>(s[FPos]))) t.Text += s[FPos++];
      }
      if (FPos < n && (s[FPos] == 'e' || s[FPos] == 'E')) {
        size_t p = FPos + 1;
        if (p < n && (s[p] == '+' || s[p] == '-')) ++p;
        if (p < n && IsDigit(static_cast<unsigned char>(s[p]))) {
          t.Text.append(s, FPos, p - FPos);
          FPos = p;
          while (FPos < n && IsDigit(static_cast<unsigned char>(s[FPos]))) t.Text += s[FPos++];
        }
      }
      if (FPos < n && IsNameStart(static_cast<unsigned char>(s[FPos])))
        SyntaxError(s, static_cast<int>(FPos), "имя не может начинаться с цифры; заключите его в двойные кавычки"_ansi);
      return t;
    }
    if (IsNameStart(c)) {
      t.Kind = TTok::Name;
      while (FPos < n && IsNameChar(static_cast<unsigned char>(s[FPos]))) t.Text += s[FPos++];
      return t;
    }
    t.Kind = TTok::Symbol;
    static const char* const two[] = {"<>", "!=", "<=", ">="};
    for (const char* sym : two)
      if (s.compare(FPos, 2, sym) == 0) {
        t.Text = sym;
        FPos += 2;
        return t;
      }
    if (std::string("*,().=<>;-").find(static_cast<char>(c)) == std::string::npos)
      SyntaxError(s, t.Pos, Format("недопустимый символ \"%s\""_ansi, {std::string(1, static_cast<char>(c))}));
    t.Text = std::string(1, static_cast<char>(c));
    ++FPos;
    return t;
  }

 private:
  const std::string& FText;
  size_t FPos = 0;
};

class TParser {
 public:
  explicit TParser(const std::string& text) : FText(text), FLexer(text) { Advance(); }

  TStatement Statement() {
    TStatement st;
    st.Text = FText;
    if (FTok.Kind == TTok::End) Fail("пустой запрос"_ansi);
    if (IsWord("SELECT")) {
      Advance();
      st.Kind = TStatementKind::Select;
      SelectItems(st);
      ExpectWord("FROM");
      Table(st);
      if (AcceptWord("WHERE")) st.Where = Condition();
      if (AcceptWord("ORDER")) {
        ExpectWord("BY");
        do st.OrderBy.push_back(OrderItem());
        while (AcceptSymbol(","));
      }
    } else if (IsWord("INSERT")) {
      Advance();
      st.Kind = TStatementKind::Insert;
      ExpectWord("INTO");
      Table(st);
      if (AcceptSymbol("(")) {
        do st.Columns.push_back(Column());
        while (AcceptSymbol(","));
        ExpectSymbol(")");
      }
      ExpectWord("VALUES");
      ExpectSymbol("(");
      do st.Values.push_back(Value());
      while (AcceptSymbol(","));
      ExpectSymbol(")");
      if (!st.Columns.empty() && st.Columns.size() != st.Values.size())
        SyntaxError(FText, st.TablePos, Format("столбцов: %d, а значений: %d"_ansi, {int(st.Columns.size()), int(st.Values.size())}));
    } else if (IsWord("UPDATE")) {
      Advance();
      st.Kind = TStatementKind::Update;
      Table(st);
      ExpectWord("SET");
      do {
        TAssignment a;
        a.Column = Column();
        ExpectSymbol("=");
        a.Value = Value();
        st.Sets.push_back(std::move(a));
      } while (AcceptSymbol(","));
      if (AcceptWord("WHERE")) st.Where = Condition();
    } else if (IsWord("DELETE")) {
      Advance();
      st.Kind = TStatementKind::Delete;
      ExpectWord("FROM");
      Table(st);
      if (AcceptWord("WHERE")) st.Where = Condition();
    } else if (IsWord("DROP")) {
      Advance();
      st.Kind = TStatementKind::DropTable;
      ExpectWord("TABLE");
      Table(st);
    } else {
      Fail("ожидалось SELECT, INSERT, UPDATE, DELETE или DROP TABLE"_ansi);
    }
    AcceptSymbol(";");
    if (FTok.Kind != TTok::End) {
      if (FTok.Kind == TTok::Name && FPrevName)
        Fail(Format("лишнее слово \"%s\" после имени \"%s\"; "_ansi, {FTok.Text, FPrevNameText}) + QuoteBlanksHint());
      Fail("лишний текст в конце запроса"_ansi);
    }
    st.ParamCount = FParams;
    return st;
  }

 private:
  void Advance() {
    FPrevName = FTok.Kind == TTok::Name || FTok.Kind == TTok::QuotedName;
    FPrevNameText = FTok.Text;
    FTok = FLexer.Next();
  }
  [[noreturn]] void Fail(const std::string& what) const { SyntaxError(FText, FTok.Pos + 1, what); }
  std::string Found() const {
    switch (FTok.Kind) {
      case TTok::End: return "конец запроса"_ansi;
      case TTok::String: return "'" + FTok.Text + "'";
      case TTok::Param: return ":" + FTok.Text;
      default: return "\"" + FTok.Text + "\"";
    }
  }
  bool IsWord(const char* word) const { return FTok.Kind == TTok::Name && SameText(FTok.Text, word); }
  bool AcceptWord(const char* word) {
    if (!IsWord(word)) return false;
    Advance();
    return true;
  }
  void ExpectWord(const char* word) {
    if (AcceptWord(word)) return;
    if (FTok.Kind == TTok::Name && FPrevName)
      Fail(Format("ожидалось %s, а найдено \"%s\" после имени \"%s\"; "_ansi, {word, FTok.Text, FPrevNameText}) +
           QuoteBlanksHint());
    Fail(Format("ожидалось %s, а найдено %s"_ansi, {word, Found()}));
  }
  bool IsSymbol(const char* sym) const { return FTok.Kind == TTok::Symbol && FTok.Text == sym; }
  bool AcceptSymbol(const char* sym) {
    if (!IsSymbol(sym)) return false;
    Advance();
    return true;
  }
  void ExpectSymbol(const char* sym) {
    if (AcceptSymbol(sym)) return;
    if (FTok.Kind == TTok::Name && FPrevName)
      Fail(Format("ожидалось \"%s\", а найдено \"%s\" после имени \"%s\"; "_ansi, {sym, FTok.Text, FPrevNameText}) +
           QuoteBlanksHint());
    Fail(Format("ожидалось \"%s\", а найдено %s"_ansi, {sym, Found()}));
  }
  bool IsName() const { return FTok.Kind == TTok::Name || FTok.Kind == TTok::QuotedName; }
  std::string Name(const std::string& what) {
    if (!IsName()) Fail(Format("ожидалось %s, а найдено %s"_ansi, {what, Found()}));
    std::string s = FTok.Text;
    Advance();
    return s;
  }

  void Table(TStatement& st) {
    st.TablePos = FTok.Pos + 1;
    std::string name = Name("имя таблицы"_ansi);
    if (name.size() > 3 && SameText(name.substr(name.size() - 3), ".DB")) name.resize(name.size() - 3);
    // A bare name followed by ".DB" reads as a qualified column: take it as the file extension.
    if (IsSymbol(".")) {
      Advance();
      if (!IsWord("DB")) Fail("ожидалось имя таблицы или имя с расширением .DB"_ansi);
      Advance();
    }
    st.Table = name;
  }

  TColumnRef Column() {
    TColumnRef c;
    c.Pos = FTok.Pos + 1;
    c.Name = Name("имя поля"_ansi);
    if (AcceptSymbol(".")) {
      c.Qualifier = c.Name;
      c.Name = Name("имя поля после имени таблицы и \".\""_ansi);
    }
    return c;
  }

  void SelectItems(TStatement& st) {
    if (AcceptSymbol("*")) {
      st.Items.push_back(TSelectItem{});
      return;
    }
    do {
      TSelectItem item;
      if (IsWord("COUNT")) {
        TToken save = FTok;
        Advance();
        if (AcceptSymbol("(")) {
          ExpectSymbol("*");
          ExpectSymbol(")");
          item.Kind = TItemKind::Count;
          item.Column.Pos = save.Pos + 1;
        } else {
          // a column named COUNT
          item.Kind = TItemKind::Column;
          item.Column.Pos = save.Pos + 1;
          item.Column.Name = save.Text;
          if (AcceptSymbol(".")) {
            item.Column.Qualifier = item.Column.Name;
            if (AcceptSymbol("*")) item.Kind = TItemKind::Star;
            else item.Column.Name = Name("имя поля"_ansi);
          }
        }
      } else {
        item.Kind = TItemKind::Column;
        item.Column.Pos = FTok.Pos + 1;
        item.Column.Name = Name("имя поля, \"*\" или COUNT(*)"_ansi);
        if (AcceptSymbol(".")) {
          item.Column.Qualifier = item.Column.Name;
          if (AcceptSymbol("*")) {
            item.Kind = TItemKind::Star;
            item.Column.Name.clear();
          } else {
            item.Column.Name = Name("имя поля или \"*\" после имени таблицы и \".\""_ansi);
          }
        }
      }
      if (item.Kind != TItemKind::Star && AcceptWord("AS")) item.Alias = Name("новое имя столбца"_ansi);
      st.Items.push_back(std::move(item));
    } while (AcceptSymbol(","));
  }

  TOrderItem OrderItem() {
    TOrderItem o;
    if (FTok.Kind == TTok::Number) {
      o.Column.Pos = FTok.Pos + 1;
      char* end = nullptr;
      long v = std::strtol(FTok.Text.c_str(), &end, 10);
      if (*end != '\0' || v < 1 || v > 1000000) Fail("в ORDER BY номер столбца должен быть не меньше 1"_ansi);
      o.Position = static_cast<int>(v);
      Advance();
    } else {
      o.Column = Column();
    }
    if (AcceptWord("DESC")) o.Descending = true;
    else AcceptWord("ASC");
    return o;
  }

  TExprPtr Value() {
    auto e = std::make_unique<TExpr>();
    if (FTok.Kind == TTok::Param) {
      e->Kind = TExprKind::Param;
      e->Param = FParams++;
      Advance();
    } else if (FTok.Kind == TTok::String) {
      e->Literal = Variant(FTok.Text);
      Advance();
    } else if (FTok.Kind == TTok::Number || IsSymbol("-")) {
      bool negative = AcceptSymbol("-");
      if (FTok.Kind != TTok::Number) Fail("ожидалось число после \"-\""_ansi);
      e->Literal = NumberLiteral(FTok.Text, negative);
      Advance();
    } else if (AcceptWord("NULL")) {
      e->Literal = Variant::Null();
    } else if (AcceptWord("TRUE")) {
      e->Literal = Variant(true);
    } else if (AcceptWord("FALSE")) {
      e->Literal = Variant(false);
    } else {
      Fail("ожидалось значение (:параметр, 'текст', число или NULL), а найдено "_ansi + Found());
    }
    return e;
  }

  Variant NumberLiteral(const std::string& text, bool negative) {
    if (text.find_first_of(".eE") == std::string::npos) {
      int64_t v = 0;
      if (text.size() <= 18 && TryStrToInt64(text, v)) {
        if (negative) v = -v;
        if (v >= INT32_MIN && v <= INT32_MAX) return Variant(static_cast<int32_t>(v));
        return Variant(v);
      }
    }
    char* end = nullptr;
    double d = std::strtod(text.c_str(), &end);  // the literal always uses "." as its point
    if (*end != '\0') Fail("неверное число \""_ansi + text + "\"");
    return Variant(negative ? -d : d);
  }

  TExprPtr Operand() {
    if (IsName() && !IsWord("NULL") && !IsWord("TRUE") && !IsWord("FALSE")) {
      auto e = std::make_unique<TExpr>();
      e->Kind = TExprKind::Column;
      e->Column = Column();
      return e;
    }
    return Value();
  }

  TExprPtr Condition() {
    TExprPtr left = Term();
    while (AcceptWord("OR")) {
      auto e = std::make_unique<TExpr>();
      e->Kind = TExprKind::Or;
      e->Left = std::move(left);
      e->Right = Term();
      left = std::move(e);
    }
    return left;
  }

  TExprPtr Term() {
    TExprPtr left = Factor();
    while (AcceptWord("AND")) {
      auto e = std::make_unique<TExpr>();
      e->Kind = TExprKind::And;
      e->Left = std::move(left);
      e->Right = Factor();
      left = std::move(e);
    }
    return left;
  }

  TExprPtr Factor() {
    if (AcceptWord("NOT")) {
      auto e = std::make_unique<TExpr>();
      e->Kind = TExprKind::Not;
      e->Left = Factor();
      return e;
    }
    if (AcceptSymbol("(")) {
      TExprPtr e = Condition();
      ExpectSymbol(")");
      return e;
    }
    TExprPtr left = Operand();
    if (AcceptWord("IS")) {
      auto e = std::make_unique<TExpr>();
      e->Kind = TExprKind::IsNull;
      e->Negated = AcceptWord("NOT");
      ExpectWord("NULL");
      e->Left = std::move(left);
      return e;
    }
    static const struct {
      const char* sym;
      TCompareOp op;
    } ops[] = {{"=", TCompareOp::Eq},  {"<>", TCompareOp::Ne}, {"!=", TCompareOp::Ne}, {"<=", TCompareOp::Le},
               {">=", TCompareOp::Ge}, {"<", TCompareOp::Lt},  {">", TCompareOp::Gt}};
    for (auto& o : ops)
      if (AcceptSymbol(o.sym)) {
        auto e = std::make_unique<TExpr>();
        e->Kind = TExprKind::Compare;
        e->Op = o.op;
        e->Left = std::move(left);
        e->Right = Operand();
        return e;
      }
    if (FTok.Kind == TTok::Name && FPrevName)
      Fail(Format("ожидалось сравнение, а найдено \"%s\" после имени \"%s\"; "_ansi, {FTok.Text, FPrevNameText}) +
           QuoteBlanksHint());
    Fail("ожидалось сравнение (=, <>, <, >, <=, >=) или IS [NOT] NULL, а найдено "_ansi + Found());
  }

  const std::string& FText;
  TLexer FLexer;
  TToken FTok;
  bool FPrevName = false;
  std::string FPrevNameText;
  int FParams = 0;
};

}  // namespace

void SyntaxError(const std::string& text, int pos, const std::string& what) {
  std::string near = text.substr(static_cast<size_t>(std::max(pos - 1, 0)), 30);
  std::string msg = Format("Ошибка в запросе, позиция %d"_ansi, {pos});
  if (!near.empty()) msg += " (около \""_ansi + near + "\")";
  msg += ": " + what + "; запрос: "_ansi + text;
  throw EDBEngineError(msg, TDBErrorKind::Syntax);
}

TStatement Parse(const std::string& text) { return TParser(text).Statement(); }

std::vector<std::string> ParamNames(const std::string& text) {
  std::vector<std::string> names;
  size_t i = 0, n = text.size();
  while (i < n) {
    char c = text[i];
    if (c == '\'' || c == '"') {
      ++i;
      while (i < n) {
        if (text[i] == c) {
          if (i + 1 < n && text[i + 1] == c) {
            i += 2;
            continue;
          }
          break;
        }
        ++i;
      }
      ++i;
      continue;
    }
    if (c == ':' && i + 1 < n && IsNameChar(static_cast<unsigned char>(text[i + 1]))) {
      size_t j = i + 1;
      while (j < n && IsNameChar(static_cast<unsigned char>(text[j]))) ++j;
      names.push_back(text.substr(i + 1, j - i - 1));
      i = j;
      continue;
    }
    ++i;
  }
  return names;
}

}  // namespace bde::sql
