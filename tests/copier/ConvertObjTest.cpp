#include "copier/ConvertObj.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

namespace {

const std::string& kEmptyMessage() { return "Ошибка, не задан идентификатор"_ansi; }

std::string TooLongMessage(int maxLength) {
  return "Ошибка, слишком большой идентификатор, длина идентификатора должна быть не больше "_ansi +
         std::to_string(maxLength);
}

// The message of the exception Check raises for the name, or "" when it passes. The exception
// must be of class E.
template <class E>
std::string CheckFailure(const TConvert& cv, const std::string& name) {
  try {
    cv.Check(name, false);
  } catch (const E& e) {
    return e.Message();
  }
  ADD_FAILURE() << "no exception of the expected class for \"" << AnsiToUtf8(name) << "\"";
  return "";
}

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

}  // namespace

TEST(Convert, StartsWithTheDefaultSettingsAndFullTables) {
  TConvert cv;
  EXPECT_EQ(cv.MaxLength, 27);
  EXPECT_TRUE(cv.CheckFirstDigit);
  EXPECT_TRUE(cv.Enabled);
  EXPECT_EQ(cv.CaseMode, cmKeep);
  EXPECT_EQ(sizeof(TCaseMode), 1u);
  EXPECT_EQ(cv.AllowedChars, "_qwertyuiopasdfghjklzxcvbnmQWERTYUIOPASDFGHJKLZXCVBNM1234567890");

  ASSERT_EQ(cv.ReservedWords.size(), 393u);
  EXPECT_EQ(cv.ReservedWords.front(), "ABSOLUTE");
  EXPECT_EQ(cv.ReservedWords.back(), "ZONE");
  std::set<std::string> unique(cv.ReservedWords.begin(), cv.ReservedWords.end());
  EXPECT_EQ(unique.size(), 393u);
  for (const std::string& w : cv.ReservedWords) EXPECT_EQ(w, Upper(w)) << w;
  // Spot checks through the list, including the words that break alphabetical order.
  for (const char* w : {"END-EXEC", "CURRENT_TIMESTAMP", "IDENTITYCOL", "OPENXML", "TSEQUAL", "WAITFOR"})
    EXPECT_EQ(unique.count(w), 1u) << w;
  auto pos = [&](const char* w) { return std::find(cv.ReservedWords.begin(), cv.ReservedWords.end(), w); };
  EXPECT_LT(pos("CHAR_LENGTH"), pos("CHARACTER"));
  EXPECT_LT(pos("IDENTITY_INSERT"), pos("IDENTITYCOL"));

  EXPECT_EQ(cv.Translit.size(), 67u);
}

TEST(Convert, TransliteratesEveryLetterBlankAndOtherCharacter) {
  TConvert cv;
  EXPECT_EQ(cv.Transliterate("абвгдеёжзийклмнопрстуфхцчшщъыьэюя"_ansi),
            "abvgdeezhziyklmnoprstufkhtschshshchyeyuya");
  EXPECT_EQ(cv.Transliterate("АБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ"_ansi),
            "ABVGDEEZHZIYKLMNOPRSTUFKHTSCHSHSHCHYEYUYA");
  // Allowed characters stay, the blank and everything without a row become "_".
  EXPECT_EQ(cv.Transliterate("Az_09 -."), "Az_09___");
  EXPECT_EQ(cv.Transliterate("№§«»€"_ansi + std::string(1, '\0') + "\t"), "_______");
  // Ukrainian and Belarusian letters of the code page have no row.
  EXPECT_EQ(cv.Transliterate("їєіўґ"_ansi), "_____");
  EXPECT_EQ(cv.Transliterate("ъЪьЬ"_ansi), "");
}

TEST(Convert, CheckReportsEachRuleWithItsClassAndMessage) {
  TConvert cv;
  EXPECT_TRUE(cv.Check("Name_1"));
  EXPECT_EQ(CheckFailure<EIllegalChar>(cv, "ab c"),
            "Ошибка, идентификатор \"ab c\" содержит недопустимый символ: \" \""_ansi);
  EXPECT_EQ(CheckFailure<EFirstNumberChar>(cv, "1abc"), "Ошибка, идентификатор \"1abc\" начинается с цифры"_ansi);
  EXPECT_EQ(CheckFailure<ETooLongString>(cv, std::string(28, 'a')), TooLongMessage(27));
  EXPECT_EQ(CheckFailure<EReservedWord>(cv, "sElEcT"), "Ошибка, зарезервированое слово \"sElEcT\""_ansi);
  EXPECT_EQ(CheckFailure<Exception>(cv, ""), kEmptyMessage());

  // The rules are tested in order: the first broken one is reported.
  EXPECT_EQ(CheckFailure<EIllegalChar>(cv, "1а"_ansi),
            "Ошибка, идентификатор \"1а\" содержит недопустимый символ: \"а\""_ansi);
  const std::string longName = "a-b-" + std::string(40, 'x');
  EXPECT_EQ(CheckFailure<EIllegalChar>(cv, longName),
            "Ошибка, идентификатор \""_ansi + longName + "\" содержит недопустимый символ: \"-\""_ansi);
  (void)CheckFailure<EFirstNumberChar>(cv, std::string(40, '1'));
  cv.CheckFirstDigit = false;
  EXPECT_TRUE(cv.Check("1abc"));
  cv.MaxLength = 5;
  EXPECT_EQ(CheckFailure<ETooLongString>(cv, "TABLES"), TooLongMessage(5));
  EXPECT_FALSE(cv.Check("TABLE", true));
}

TEST(Convert, CheckSilentAnswersFalseAndTheEmptyNameIsNoConvertException) {
  TConvert cv;
  for (const std::string& bad : {std::string(), std::string("a b"), std::string("9a"), std::string(30, 'z'),
                                 std::string("end-exec"), std::string("Order")})
    EXPECT_FALSE(cv.Check(bad, true)) << bad;
  EXPECT_TRUE(cv.Check("Orders", true));

  try {
    cv.Check("");
    FAIL() << "the empty name passed";
  } catch (const EConvertException&) {
    FAIL() << "the empty name is reported with the base class";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), kEmptyMessage());
  }
  // Reserved words match in any case of a-z only; the hyphenated word never gets past the
  // character rule.
  EXPECT_THROW(cv.Check("Integer"), EReservedWord);
  EXPECT_THROW(cv.Check("END-EXEC"), EIllegalChar);
  EXPECT_TRUE(cv.Check("END_EXEC"));
}

TEST(Convert, ConvertRepairsNamesInRuleOrder) {
  TConvert cv;
  EXPECT_EQ(cv.Convert("Дом 2"_ansi), "Dom_2");
  EXPECT_EQ(cv.Convert("объект"_ansi), "obekt");
  EXPECT_EQ(cv.Convert("Щука"_ansi), "SHCHuka");
  EXPECT_EQ(cv.Convert("2дом"_ansi), "n2dom");
  EXPECT_EQ(cv.Convert("select"), "rselect");
  EXPECT_EQ(cv.Convert("Table"), "rTable");
  EXPECT_EQ(cv.Convert("END-EXEC"), "END_EXEC");
  EXPECT_EQ(cv.Convert("Улица (гл.)"_ansi), "Ulitsa__gl__");
  EXPECT_EQ(cv.Convert("Already_Fine"), "Already_Fine");

  const std::string latin30 = "abcdefghijklmnopqrstuvwxyzABCD";
  EXPECT_EQ(cv.Convert(latin30), latin30.substr(0, 27));
  const std::string digit27 = "1" + std::string(26, 'q');
  EXPECT_EQ(cv.Convert(digit27), "n1" + std::string(25, 'q'));
  // A transliteration that only becomes too long is cut afterwards.
  EXPECT_EQ(cv.Convert(std::string(10, "щ"_ansi[0])), std::string("shchshchshchshchshchshchshc"));
  // A name that only looks like a reserved word before the cut stays as cut.
  cv.MaxLength = 11;
  EXPECT_EQ(cv.Convert("CONNECTIONSTRING"), "CONNECTIONS");
}

TEST(Convert, ConvertFailsOnlyForEmptyNamesAndReservedWordsOfFullLength) {
  TConvert cv;
  for (const std::string& empty : {std::string(), "ъ"_ansi, "ъьЪЬьъ"_ansi}) {
    try {
      cv.Convert(empty);
      FAIL() << "converted " << AnsiToUtf8(empty);
    } catch (const EConvertException&) {
      FAIL() << "wrong class";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), kEmptyMessage());
    }
  }
  cv.MaxLength = 10;
  try {
    cv.Convert("CONNECTIONS");
    FAIL() << "CONNECTION with a prefix does not fit 10 characters";
  } catch (const ETooLongString& e) {
    EXPECT_EQ(e.Message(), TooLongMessage(10));
  }
  cv.MaxLength = 6;
  EXPECT_THROW(cv.Convert("Select"), ETooLongString);
  EXPECT_EQ(cv.Convert("Selec"), "Selec");
  EXPECT_EQ(cv.Convert("Where"), "rWhere");
}

TEST(Convert, ConvertAppliesTheCaseModeToLatinLettersOnly) {
  TConvert cv;
  cv.CaseMode = cmUpper;
  EXPECT_EQ(cv.Convert("Жёлтый дом 5"_ansi), "ZHELTYY_DOM_5");
  EXPECT_EQ(cv.Convert("from"), "RFROM");
  cv.CaseMode = cmLower;
  EXPECT_EQ(cv.Convert("Жёлтый Дом"_ansi), "zheltyy_dom");
  EXPECT_EQ(cv.Convert("3D"), "n3d");
}

TEST(Convert, ReservedPrefixGrowsUntilTheNameIsFree) {
  TConvert cv;
  // Make every start of the prefix produce a reserved word, so that the whole prefix run is
  // exhausted and the conversion has to go round again.
  const std::string prefix = "reservedWord";
  cv.ReservedWords.push_back("X");
  for (std::size_t i = 1; i < prefix.size(); ++i) cv.ReservedWords.push_back(Upper(prefix.substr(0, i) + "X"));
  EXPECT_EQ(cv.PrefixReservedWord("X"), "reservedWorX");
  EXPECT_EQ(cv.Convert("x"), "rreservedWorx");
  cv.ReservedWords.resize(393 + 3);  // X, RX, REX
  EXPECT_EQ(cv.Convert("x"), "resx");
}

TEST(Convert, ChangedCharacterSetsEndInAnErrorInsteadOfLooping) {
  TConvert cv;
  cv.AllowedChars = "abc";  // "_" is not allowed, yet every unknown character becomes "_"
  EXPECT_THROW(cv.Convert("a b"), EIllegalChar);
  cv.AllowedChars = "abcn1";
  cv.Translit.push_back({'x', "x"});  // a replacement that is itself illegal
  EXPECT_THROW(cv.Convert("x"), EIllegalChar);
  EXPECT_EQ(cv.Convert("1ab"), "n1ab");
}

TEST(Convert, MakeUniqueIncrementsTheTrailingNumber) {
  TConvert cv;
  EXPECT_EQ(cv.MakeUnique("name"), "name1");
  EXPECT_EQ(cv.MakeUnique("name9"), "name10");
  EXPECT_EQ(cv.MakeUnique("abc007"), "abc8");
  EXPECT_EQ(cv.MakeUnique("12"), "13");
  EXPECT_EQ(cv.MakeUnique(""), "1");
  EXPECT_EQ(cv.MakeUnique("a1b"), "a1b1");
  EXPECT_EQ(cv.MakeUnique("a00000000000001"), "a2");  // leading zeros do not make a run too long
  const std::string full = std::string(26, 'w') + "9";
  EXPECT_EQ(cv.MakeUnique(full), std::string(25, 'w') + "10");
  // A run beyond 32 bits counts as 0.
  EXPECT_EQ(cv.MakeUnique("a99999999999"), "a1");
  EXPECT_EQ(cv.MakeUnique("a2147483648"), "a1");
  EXPECT_EQ(cv.MakeUnique("a2147483646"), "a2147483647");
  // The last 32-bit number moves on to the next, within MaxLength, and from there starts over.
  EXPECT_EQ(cv.MakeUnique("a2147483647"), "a2147483648");
  cv.MaxLength = 12;
  EXPECT_EQ(cv.MakeUnique("abcdef2147483647"), "ab2147483648");
  EXPECT_EQ(cv.MakeUnique("ab2147483648"), "ab1");
  cv.MaxLength = 10;
  EXPECT_EQ(cv.MakeUnique("abc2147483647"), "2147483648");
  EXPECT_EQ(cv.MakeUnique("abcdefghij"), "abcdefghi1");
}

// Random Windows-1251 names of every kind the semantic copy meets.
class NameGenerator {
 public:
  explicit NameGenerator(uint32_t salt) : FRandom(salt) {}

  std::string Next(const std::vector<std::string>& reserved) {
    switch (Pick(12)) {
      case 0: return "";
      case 1: return Repeat("ъьЪЬ"_ansi, 1 + Pick(5));
      case 2: return RandomCase(reserved[Pick(reserved.size())]);
      case 3: return RandomCase(reserved[Pick(reserved.size())]) + Piece();
      case 4: return Pieces(100 + Pick(500));
      default: return Pieces(Pick(40));
    }
  }

 private:
  std::size_t Pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(FRandom); }
  std::string Repeat(const std::string& from, std::size_t count) {
    std::string s;
    while (s.size() < count) s += from[Pick(from.size())];
    return s;
  }
  std::string RandomCase(std::string s) {
    for (char& c : s)
      if (Pick(2) && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
  }
  std::string Piece() {
    static const std::string letters =
        "абвгдеёжзийклмнопрстуфхцчшщъыьэюяАБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ"_ansi;
    static const std::string latin = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_";
    switch (Pick(10)) {
      case 0: return " ";
      case 1: return std::string(1, static_cast<char>('0' + Pick(10)));
      case 2: return std::string(1, "!\"#$%&'()*+,-./:;<=>?@[\\]^`{|}~"[Pick(32)]);
      case 3: return std::string(1, static_cast<char>(Pick(2) ? Pick(32) : 0x80 + Pick(64)));
      case 4: case 5: return std::string(1, latin[Pick(latin.size())]);
      default: return std::string(1, letters[Pick(letters.size())]);
    }
  }
  std::string Pieces(std::size_t count) {
    std::string s;
    for (std::size_t i = 0; i < count; ++i) s += Piece();
    return s;
  }

  std::mt19937 FRandom;
};

TEST(Convert, RandomNamesConvertToNamesThatPassTheCheck) {
  TConvert cv;
  std::set<std::string> reserved(cv.ReservedWords.begin(), cv.ReservedWords.end());
  auto isReserved = [&](const std::string& s) { return reserved.count(Upper(s)) > 0; };
  const int maxLengths[] = {1, 2, 3, 5, 8, 10, 11, 12, 13, 14, 15, 16, 17, 18, 20, 27, 31, 64, 500};
  NameGenerator gen(20261207);
  std::mt19937 pick(7);
  int converted = 0, empty = 0, tooLong = 0, prefixed = 0;

  for (int n = 0; n < 20000; ++n) {
    const std::string source = gen.Next(cv.ReservedWords);
    cv.MaxLength = maxLengths[pick() % std::size(maxLengths)];
    SCOPED_TRACE("name \"" + AnsiToUtf8(source) + "\", MaxLength " + std::to_string(cv.MaxLength));

    // What the repairs must come to: the transliterated name, "n" before a leading digit, cut
    // to MaxLength, and then the shortest start of "reservedWord" that frees a reserved word.
    std::string t = cv.Transliterate(source);
    bool emptyExpected = t.empty();
    if (!t.empty() && t[0] >= '0' && t[0] <= '9') t = "n" + t;
    t = t.substr(0, static_cast<std::size_t>(cv.MaxLength));
    bool reservedAtFullLength = isReserved(t) && static_cast<int>(t.size()) == cv.MaxLength;

    std::string result;
    try {
      result = cv.Convert(source);
    } catch (const ETooLongString& e) {
      EXPECT_TRUE(reservedAtFullLength) << "unexpected: " << e.what();
      EXPECT_EQ(e.Message(), TooLongMessage(cv.MaxLength));
      ++tooLong;
      continue;
    } catch (const EConvertException& e) {
      ADD_FAILURE() << "unexpected: " << e.what();
      continue;
    } catch (const Exception& e) {
      EXPECT_TRUE(emptyExpected) << "unexpected: " << e.what();
      EXPECT_EQ(e.Message(), kEmptyMessage());
      ++empty;
      continue;
    }
    ++converted;
    EXPECT_FALSE(emptyExpected || reservedAtFullLength) << "converted to " << result;
    EXPECT_TRUE(cv.Check(result, true)) << result;
    EXPECT_EQ(cv.Convert(result), result) << "a converted name is left alone";
    if (isReserved(t)) {
      ++prefixed;
      ASSERT_GT(result.size(), t.size());
      const std::string prefix = result.substr(0, result.size() - t.size());
      EXPECT_EQ(std::string("reservedWor").substr(0, prefix.size()), prefix) << result;
      EXPECT_EQ(result.substr(prefix.size()), t);
    } else {
      EXPECT_EQ(result, t);
    }
    if (cv.MaxLength >= 10) {
      const std::string next = cv.MakeUnique(result);
      EXPECT_NE(next, result);
      EXPECT_LE(static_cast<int>(next.size()), cv.MaxLength);
    }
  }
  // Every outcome was met often enough to mean something.
  EXPECT_GT(converted, 15000);
  EXPECT_GT(empty, 200);
  EXPECT_GT(tooLong, 10);
  EXPECT_GT(prefixed, 500);
}

TEST(Convert, MakeUniqueStepsThroughDistinctNamesWithinMaxLength) {
  TConvert cv;
  for (int maxLength : {10, 12, 27}) {
    cv.MaxLength = maxLength;
    for (const std::string& start : {std::string("table"), std::string(maxLength, 'x'), std::string("ab98"),
                                     std::string("q") + std::string(maxLength - 1, '9')}) {
      std::set<std::string> seen{start};
      std::string name = start;
      for (int i = 0; i < 1200; ++i) {
        name = cv.MakeUnique(name);
        ASSERT_LE(static_cast<int>(name.size()), maxLength) << name;
        ASSERT_TRUE(seen.insert(name).second) << "repeated " << name << " from " << start;
      }
    }
  }
}
