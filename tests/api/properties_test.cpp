#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/errors.hpp"

#include "selvarn/sms.hpp"

namespace selvarn {
namespace {

struct TextProperty {
  const char* name;
  std::function<const std::string&(const SMS&)> get;
  std::function<void(SMS&, std::string)> put;
};

std::vector<TextProperty> TextProperties() {
  return {
      {"IDD", [](const SMS& s) -> const std::string& { return s.IDD(); },
       [](SMS& s, std::string v) { s.IDD(std::move(v)); }},
      {"MN", [](const SMS& s) -> const std::string& { return s.MN(); },
       [](SMS& s, std::string v) { s.MN(std::move(v)); }},
      {"Msg", [](const SMS& s) -> const std::string& { return s.Msg(); },
       [](SMS& s, std::string v) { s.Msg(std::move(v)); }},
      {"SMSC", [](const SMS& s) -> const std::string& { return s.SMSC(); },
       [](SMS& s, std::string v) { s.SMSC(std::move(v)); }},
      {"MR", [](const SMS& s) -> const std::string& { return s.MR(); },
       [](SMS& s, std::string v) { s.MR(std::move(v)); }},
      {"SCTS", [](const SMS& s) -> const std::string& { return s.SCTS(); },
       [](SMS& s, std::string v) { s.SCTS(std::move(v)); }},
      {"DRMsgRef", [](const SMS& s) -> const std::string& { return s.DRMsgRef(); },
       [](SMS& s, std::string v) { s.DRMsgRef(std::move(v)); }},
      {"DRMNRecipient", [](const SMS& s) -> const std::string& { return s.DRMNRecipient(); },
       [](SMS& s, std::string v) { s.DRMNRecipient(std::move(v)); }},
      {"DRRTime", [](const SMS& s) -> const std::string& { return s.DRRTime(); },
       [](SMS& s, std::string v) { s.DRRTime(std::move(v)); }},
      {"DRRDate", [](const SMS& s) -> const std::string& { return s.DRRDate(); },
       [](SMS& s, std::string v) { s.DRRDate(std::move(v)); }},
      {"DRFTime", [](const SMS& s) -> const std::string& { return s.DRFTime(); },
       [](SMS& s, std::string v) { s.DRFTime(std::move(v)); }},
      {"DRFDate", [](const SMS& s) -> const std::string& { return s.DRFDate(); },
       [](SMS& s, std::string v) { s.DRFDate(std::move(v)); }},
  };
}

using selvarn::testing::ErrorNumberOf;

TEST(Properties, TextIsStoredExactlyAndPropertiesAreIndependent) {
  const std::string samples[] = {"", " +60 12-555 0147 ", "12\r\n\r\n", "Grüße €, 你好, 😀",
                                 std::string("nul\0inside", 10)};
  SMS sms;
  for (const auto& p : TextProperties()) EXPECT_EQ(p.get(sms), "") << p.name;
  auto props = TextProperties();
  for (std::size_t i = 0; i < props.size(); ++i) {
    for (const auto& v : samples) {
      props[i].put(sms, v);
      EXPECT_EQ(props[i].get(sms), v) << props[i].name;
    }
    props[i].put(sms, std::string(props[i].name) + "-value");
  }
  for (const auto& p : props) EXPECT_EQ(p.get(sms), std::string(p.name) + "-value");
  EXPECT_EQ(sms.DRStatusText(), "") << "no other property writes DRStatus";
}

TEST(Properties, DRStatusIsTextThatConvertsBack) {
  SMS sms;
  EXPECT_EQ(ErrorNumberOf([&] { sms.DRStatus(); }), err::kTypeMismatch) << "empty on a new object";
  sms.DRStatus(DeliveryStatus::Unknown);
  EXPECT_EQ(sms.DRStatusText(), "2");
  EXPECT_EQ(sms.DRStatus(), DeliveryStatus::Unknown);
  struct Case {
    std::int32_t put;
    const char* text;
  } cases[] = {
      {0, "0"}, {1, "1"}, {-7, "-7"}, {2147483647, "2147483647"}, {-2147483647 - 1, "-2147483648"}};
  for (const auto& c : cases) {
    sms.DRStatus(c.put);
    EXPECT_EQ(sms.DRStatusText(), c.text) << "decimal text, no leading blank";
    EXPECT_EQ(static_cast<std::int32_t>(sms.DRStatus()), c.put);
  }
}

}  // namespace
}  // namespace selvarn
