#include "pdu/msisdn.hpp"

#include <gtest/gtest.h>

namespace selvarn::MSISDN {
namespace {

TEST(NormaliseMSISDN, DropsPlusAndHyphenAndPrefixesLocalMobiles) {
  struct Case {
    const char* in;
    const char* out;
  } const cases[] = {
      {"012-5550147", "60125550147"},
      {"+60125550147", "60125550147"},
      {"+0125550147", "60125550147"},  // the plus goes before the prefix test
      {"0-1-2", "6012"},               // so do the hyphens
      {"0060125550147", "0060125550147"},
      {"6012", "6012"},
      {" 0125", " 0125"},  // nothing else is removed
      {"(01) 25.55", "(01) 25.55"},
      {"01", "601"},
      {"0", "0"},
      {"+-+--", ""},
      {"", ""},
      {"12+34-56", "123456"},
  };
  for (const auto& c : cases) EXPECT_EQ(NormaliseMSISDN(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace selvarn::MSISDN
