#include "platform/rtl/Variant.h"

#include <gtest/gtest.h>

TEST(Variant, KeepsEveryTypeApart) {
  EXPECT_EQ(Variant().VarType(), varEmpty);
  EXPECT_EQ(Variant::Null().VarType(), varNull);
  EXPECT_EQ(Variant(int8_t(-1)).VarType(), varShortInt);
  EXPECT_EQ(Variant(uint8_t(1)).VarType(), varByte);
  EXPECT_EQ(Variant(int16_t(1)).VarType(), varSmallint);
  EXPECT_EQ(Variant(uint16_t(1)).VarType(), varWord);
  EXPECT_EQ(Variant(int32_t(1)).VarType(), varInteger);
  EXPECT_EQ(Variant(uint32_t(1)).VarType(), varLongWord);
  EXPECT_EQ(Variant(int64_t(1)).VarType(), varInt64);
  EXPECT_EQ(Variant(uint64_t(1)).VarType(), varUInt64);
  EXPECT_EQ(Variant(1.5f).VarType(), varSingle);
  EXPECT_EQ(Variant(1.5).VarType(), varDouble);
  EXPECT_EQ(Variant::FromCurrency(1.5).VarType(), varCurrency);
  EXPECT_EQ(Variant::FromDateTime(1.5).VarType(), varDate);
  EXPECT_EQ(Variant(true).VarType(), varBoolean);
  EXPECT_EQ(Variant(std::string("x")).VarType(), varString);
}

TEST(Variant, CarriesBlobBytesWhole) {
  std::string bytes("\0\x01\xFF\0", 4);
  Variant v(bytes);
  EXPECT_EQ(v.ToString(), bytes);
  EXPECT_EQ(v.StrRef().size(), 4u);
}

TEST(Variant, ConversionsInTheClassLibrarysManner) {
  EXPECT_EQ(Variant().ToInt32(), 0);
  EXPECT_EQ(Variant::Null().ToString(), "");
  EXPECT_THROW(Variant::Null().ToInt32(), EVariantTypeCastError);
  EXPECT_THROW(Variant::Null().ToDouble(), EVariantTypeCastError);
  EXPECT_EQ(Variant(std::string(" 42 ")).ToInt32(), 42);
  EXPECT_THROW(Variant(std::string("abc")).ToInt32(), EVariantTypeCastError);
  EXPECT_EQ(Variant(2.5).ToInt32(), 2);
  EXPECT_EQ(Variant(int64_t(1) << 40).ToInt64(), int64_t(1) << 40);
  EXPECT_THROW(Variant(int64_t(1) << 40).ToInt32(), EVariantTypeCastError);
  EXPECT_THROW(Variant(uint64_t(~0ull)).ToInt64(), EVariantTypeCastError);
  EXPECT_EQ(Variant(uint64_t(~0ull)).ToUInt64(), ~0ull);
  EXPECT_THROW(Variant(1e300).ToInt64(), EVariantTypeCastError);
  EXPECT_EQ(Variant(true).ToInt32(), -1);
  EXPECT_EQ(Variant(std::string("true")).ToBool(), true);
  EXPECT_EQ(Variant::FromCurrency(12.34565).ToCurrencyScaled(), 123456);
  EXPECT_DOUBLE_EQ(Variant::FromCurrencyScaled(123456).ToDouble(), 12.3456);
  EXPECT_EQ(Variant(int32_t(-7)).ToString(), "-7");
  EXPECT_EQ(Variant(uint64_t(18446744073709551615ull)).ToString(), "18446744073709551615");
}

TEST(Variant, EqualityNeedsTheSameTypeAndValue) {
  EXPECT_EQ(Variant(int32_t(1)), Variant(int32_t(1)));
  EXPECT_FALSE(Variant(int32_t(1)) == Variant(int16_t(1)));
  EXPECT_EQ(Variant::Null(), Variant::Null());
  EXPECT_FALSE(Variant::Null() == Variant());
  EXPECT_EQ(Variant(std::vector<Variant>{Variant(1), Variant()}), Variant(std::vector<Variant>{Variant(1), Variant()}));
}
