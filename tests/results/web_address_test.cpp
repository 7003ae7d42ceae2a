#include "results/web_address.h"

#include <gtest/gtest.h>

namespace kelvora {
namespace {

struct Case {
  const char* link;
  const char* opened;  // "" when nothing may be opened
};

TEST(BrowsableAddress, OpensOnlyWebAddresses) {
  const Case cases[] = {
      {"http://item.example.com/item.htm?id=1", "http://item.example.com/item.htm?id=1"},
      {"https://detail.example.com/item.htm?id=2", "https://detail.example.com/item.htm?id=2"},
      {"HTTP://Item.Example.com/x", "HTTP://Item.Example.com/x"},
      {"hTtPs://a.b", "hTtPs://a.b"},
      // A protocol-relative address, as list pages give them, is read as http.
      {"//item.example.com/item.htm?id=3", "http://item.example.com/item.htm?id=3"},
      {"  http://a.b/c \r\n", "http://a.b/c"},
      {"http://user@127.0.0.1:8080/p", "http://user@127.0.0.1:8080/p"},
      {"http://[::1]:80/", "http://[::1]:80/"},
      // Everything else stays in the program.
      {"", ""},
      {"   ", ""},
      {"file:///etc/passwd", ""},
      {"FILE:///C:/Windows/system32/calc.exe", ""},
      {"javascript:alert(1)", ""},
      {"data:text/html,<script>alert(1)</script>", ""},
      {"vbscript:msgbox", ""},
      {"ftp://example.com/", ""},
      {"item.htm?id=1", ""},
      {"/item.htm?id=1", ""},
      {"\\\\server\\share", ""},
      {"C:\\Windows\\notepad.exe", ""},
      {"httpx://a.b", ""},
      {"http:/a.b", ""},
      {"http://", ""},
      {"https://", ""},
      {"http:///etc/passwd", ""},
      {"///etc/passwd", ""},
      {"http://:80/", ""},
      {"http://user@/", ""},
      {"http://[]/", ""},
      {"http://\\\\evil/", ""},
      {"http://a b/", ""},
      {"http://a.b/\x01x", ""},
      {"http://a.b/\nfile:///x", ""},
      {" file:///etc/passwd", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(BrowsableAddress(c.link), c.opened) << "link: " << c.link;
}

}  // namespace
}  // namespace kelvora
