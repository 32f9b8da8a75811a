// Identifier conversion: turns an arbitrary name of a semantic table, field or index (usually
// Cyrillic, often with blanks) into an identifier every destination engine accepts.
//
// An identifier is accepted when it holds only AllowedChars (Latin letters, decimal digits and
// "_" by default), does not start with a digit, is at most MaxLength characters long, is not one
// of the reserved SQL words (letter case of a-z ignored) and is not empty. Check reports the first
// of these rules a name breaks; Convert repairs a name rule by rule until Check passes; MakeUnique
// bumps a trailing number so that a caller can step past names already taken.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/rtl/Classes.h"
#include "platform/rtl/SysUtils.h"

// Base of the rule failures below; never raised itself. The empty name is reported with the
// plain Exception, so a handler of EConvertException does not catch it.
class EConvertException : public Exception { using Exception::Exception; };
// A character outside AllowedChars.
class EIllegalChar : public EConvertException { using EConvertException::EConvertException; };
// A leading decimal digit while CheckFirstDigit is on.
class EFirstNumberChar : public EConvertException { using EConvertException::EConvertException; };
// Longer than MaxLength.
class ETooLongString : public EConvertException { using EConvertException::EConvertException; };
// Equal to a reserved word.
class EReservedWord : public EConvertException { using EConvertException::EConvertException; };

// Letter case given to a converted name: only the Latin letters a-z and A-Z change.
enum TCaseMode : uint8_t { cmKeep = 0, cmUpper = 1, cmLower = 2 };

// One row of the transliteration table: a character and the text that replaces it (may be empty,
// which removes the character).
struct TTranslitPair {
  char Char;
  std::string Text;
};

class TConvert : public TObject {
 public:
  // Fills both lists from the program-wide tables and sets the defaults noted below.
  TConvert();
  ~TConvert() override = default;

  // The 393 reserved words in capitals; a name must not equal any of them (a-z folded).
  std::vector<std::string> ReservedWords;
  // Replacement of characters outside AllowedChars: the blank and the 66 Cyrillic letters of
  // Windows-1251 (exact match, letter case included).
  std::vector<TTranslitPair> Translit;
  // Longest accepted identifier; default 27. The operations expect at least 1.
  int32_t MaxLength = 27;
  // Whether a leading decimal digit breaks a rule; default true.
  bool CheckFirstDigit = true;
  // The characters an identifier may hold; default Latin letters, digits and "_".
  std::string AllowedChars;
  // Case applied by Convert to the repaired name; default cmKeep.
  TCaseMode CaseMode = cmKeep;
  // Whether the owner applies this converter; none of the operations here consult it.
  bool Enabled = true;

  // True when the name passes every rule. Otherwise, unless silent, raises the exception of the
  // first broken rule in this order: EIllegalChar, EFirstNumberChar, ETooLongString,
  // EReservedWord, and Exception for the empty name; with silent it returns false.
  bool Check(const std::string& name, bool silent = false) const;
  // The name repaired until Check passes, with CaseMode applied. Raises the plain Exception of
  // the empty name (also when every character is one that transliteration drops), and
  // ETooLongString when a name that is a reserved word is already MaxLength long, so that no
  // prefixed form fits. A name that passes already comes back unchanged (cmKeep). Should changed
  // AllowedChars or Translit make a repair leave the name as it was, the exception of the rule
  // it failed to repair is raised instead of trying again for ever.
  std::string Convert(const std::string& source) const;
  // The name with its trailing decimal number incremented (no number counts as 0, and so does
  // one beyond 2147483647); the part before the number is cut so that the whole stays within
  // MaxLength (the number itself is never cut: with MaxLength below its length, 10 at most, the
  // result is the number alone). 2147483647 becomes 2147483648. The result is not checked.
  // Never raises.
  std::string MakeUnique(const std::string& name) const;

  // Repair steps of Convert, each a name in and the new name out.
  // Keeps AllowedChars, replaces other characters by their Translit text, or "_" without a row.
  std::string Transliterate(const std::string& name) const;
  // "n" (transliterated) in front of the name.
  std::string PrefixFirstDigit(const std::string& name) const;
  // The shortest start of "reservedWord" (transliterated, at most all but its last character) in
  // front of the name that makes a name passing Check; a failure other than a reserved word
  // (ETooLongString in practice) leaves here. When every such prefix still gives a reserved word,
  // the longest one is returned.
  std::string PrefixReservedWord(const std::string& name) const;
  // The first MaxLength characters of the name.
  std::string TruncateName(const std::string& name) const;

 private:
  enum class TRule { None, IllegalChar, FirstDigit, TooLong, Reserved, Empty };
  struct TFailure {
    TRule Rule = TRule::None;
    std::size_t Position = 0;  // the illegal character, for IllegalChar
  };
  // The first rule the name breaks, in Check's order, without raising.
  TFailure FirstBrokenRule(const std::string& name) const;
  bool IsReservedWord(const std::string& name) const;
  [[noreturn]] void Raise(const std::string& name, const TFailure& failure) const;
};
