#include "session/cookie_text.h"

#include <gtest/gtest.h>

#include "support/fixtures.h"

namespace kelvora {
namespace {

using test::G;

const char* const kLongRefusal =
    "您提供的值可能不正确。请重新提取\r\n此处不是填写任何帐号或者密码信息\r\n详情请看窗口上的说明";

struct Case {
  const char* name;
  std::string pasted;  // GBK
  bool accepted;
  std::string cookie;   // GBK, when accepted
  std::string refusal;  // GBK, when refused
  std::string cleaned;  // GBK, what the paste box shows afterwards
};

TEST(NormalizeCookieText, CleansAndAcceptsOrRefuses) {
  const std::string header = "cookie2=kelvorademo0000; _tb_token_=kelvora; t=kelvorademo";
  const std::string twentyFour = "cookie2=kelvorademo00000";  // 24 bytes with "="
  ASSERT_EQ(twentyFour.size(), 24u);
  const Case cases[] = {
      {"one header line is only trimmed", "  " + header + " \r\n", true, header, "", "  " + header + " "},
      {"pasted two-column table becomes one line",
       G("键 值\r\nCookie\tcookie2=kelvorademo0000;\r\nCookie\tt=kelvorademo;\tpath=/\r\n"), true,
       "cookie2=kelvorademo0000;t=kelvorademo; path=/", "", "cookie2=kelvorademo0000;t=kelvorademo; path=/"},
      {"blanks and line breaks only", " \r\n\t\r\n  ", false, "", G("请输入内容"), "    "},
      {"full-width blanks only", G("　　"), false, "", G("请输入内容"), G("　　")},
      {"24 bytes with = refused", twentyFour, false, "", G(kLongRefusal), twentyFour},
      {"25 bytes with = accepted", twentyFour + "1", true, twentyFour + "1", "", twentyFour + "1"},
      {"length counts the blanks around it", "  cookie2=kelvorademo000  ", true, "cookie2=kelvorademo000", "",
       "  cookie2=kelvorademo000  "},
      {"no = refused however long", "cookie2 kelvorademo0000 and some more text", false, "", G(kLongRefusal),
       "cookie2 kelvorademo0000 and some more text"},
      {"title row does not count toward the length", G("键 值") + "cookie2=kelvorademo00", false, "", G(kLongRefusal),
       "cookie2=kelvorademo00"},
      {"lower-case cookie label stays", "cookie\tcookie2=kelvorademo0000", true, "cookie cookie2=kelvorademo0000", "",
       "cookie cookie2=kelvorademo0000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CookieTextResult r = NormalizeCookieText(c.pasted);
    EXPECT_EQ(r.accepted, c.accepted);
    EXPECT_EQ(r.cookie, c.cookie);
    EXPECT_EQ(r.refusal, c.refusal);
    EXPECT_EQ(r.cleaned, c.cleaned);
  }
}

}  // namespace
}  // namespace kelvora
