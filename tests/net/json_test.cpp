#include "net/json.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/codec.h"
#include "support/fixtures.h"

namespace kelvora {
namespace {

using test::G;

struct TextCase {
  const char* path;
  std::string expected;  // GBK
};

JsonReader Loaded(const std::string& json) {
  JsonReader reader;
  reader.load("data", json);
  return reader;
}

// The object loaded as it is, and again with one more member that only the
// slower reading path accepts (a number beyond the double range), so that each
// table checks both ways of reading.
std::vector<JsonReader> BothWays(const std::string& object) {
  std::string forced = object.substr(0, object.rfind('}')) + ",\"forced\":1e999}";
  return {Loaded(object), Loaded(forced)};
}

TEST(JsonReaderTest, ReadsValuesByPath) {
  // The lookup service's answer, a list of 44 items and the odd values.
  std::string items;
  for (int i = 0; i < 44; ++i) items += (i ? "," : "") + std::string("{\"href\":\"//item/") + std::to_string(i) + "\"}";
  auto readers = BothWays(R"({"data":{"sjsj":"1416316801","xjsj":1416921601,"ms":1416316801000.0},)"
                          R"("itemList":[)" +
                          items +
                          R"(],"n":{"neg":-12,"big":18446744073709551615,"min":-9223372036854775808,)"
                          R"("frac":0.1,"tiny":0.0000001,"small":0.000001,"e21":1e21,)"
                          R"("e20":1e20,"exp":1.5e300,"negzero":-0,"under":-1e-400,"e":-2.5E-3},)"
                          R"("flags":[true,false,null],"nested":[1,[2,3],{"a":1},null,"x"],"obj":{"a":1},)"
                          R"("dup":{"k":1,"k":2},"length":{"length":"7"},"s":"line\nbreak \"quoted\" \/slash"})");
  const TextCase cases[] = {
      {"data.data.sjsj", "1416316801"},
      {"data.data.xjsj", "1416921601"},
      {"data.data.ms", "1416316801000"},
      {"data.data.price", ""},
      {"data.nothing.sjsj", ""},   // a middle member is missing
      {"data.data.sjsj.x.y", ""},  // through a string's missing member
      {"data.itemList[3].href", "//item/3"},
      {"data.itemList[43].href", "//item/43"},
      {"data.itemList[44].href", ""},
      {"data.itemList.length", "44"},
      {"data.n.neg", "-12"},
      {"data.n.big", "18446744073709551615"},
      {"data.n.min", "-9223372036854775808"},
      {"data.n.frac", "0.1"},
      {"data.n.tiny", "1e-7"},
      {"data.n.small", "0.000001"},
      {"data.n.e21", "1e+21"},
      {"data.n.e20", "100000000000000000000"},
      {"data.n.exp", "1.5e+300"},
      {"data.n.negzero", "0"},
      {"data.n.under", "0"},
      {"data.n.e", "-0.0025"},
      {"data.flags[0]", "true"},
      {"data.flags[1]", "false"},
      {"data.flags[2]", ""},
      {"data.nested", "1,2,3,[object Object],,x"},
      {"data.obj", "[object Object]"},
      {"data.dup.k", "2"},  // a repeated name: the last one counts
      {"data.s", "line\nbreak \"quoted\" /slash"},
      {"data.s.length", "26"},
      {"data[\"data\"]['sjsj']", "1416316801"},
      {"data.itemList[\"2\"].href", "//item/2"},
      {"data['obj'][\"a\"]", "1"},
      {" data.obj.a ", "1"},
      {"data.itemList[ 1 ].href", "//item/1"},
      // Malformed paths read as nothing.
      {"", ""},
      {"data.", ""},
      {"data..obj", ""},
      {"data.itemList[", ""},
      {"data.itemList[1", ""},
      {"data.itemList[-1].href", ""},
      {"data.itemList[01].href", ""},
      {"data.itemList[1.0].href", ""},
      {"data.obj[\"a]", ""},
      {"data.obj.a()", ""},
      {"data.1", ""},
      {"other.data", ""},
      {"data.itemList.length.x", ""},
  };
  for (const auto& reader : readers)
    for (const auto& c : cases) EXPECT_EQ(reader.getText(c.path), c.expected) << c.path;
}

TEST(JsonReaderTest, KeepsNumbersThatOnlyScriptEnginesRead) {
  const TextCase cases[] = {
      {"123456789012345678901234567890", "123456789012345678901234567890"},
      {"-18446744073709551616", "-18446744073709551616"},
      {"1e400", "Infinity"},
      {"-1.5e400", "-Infinity"},
      {"1e-400", "0"},
      {"0.5", "0.5"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Loaded(std::string(R"({"a":)") + c.path + R"(,"b":"x"})").getText("data.a"), c.expected) << c.path;
  EXPECT_EQ(Loaded(R"({"a":"x\ud800y","b":"\udc00"})").getText("data.a"), "x?y");
}

TEST(JsonReaderTest, CountsLengthsAndMembers) {
  auto readers = BothWays(
      R"({"d":{"a":1,"b":[1,2,3],"s":"\u5e7f\u4e1c ok \ud83d\ude00","o":{"length":"7"},"n":null,"dup":{"k":1,"j":2,"k":3}}})");
  struct Case {
    const char* path;
    int length, members;
    std::string keyList;
  };
  const Case cases[] = {
      {"data.d", 0, 6, "a,,b,,s,,o,,n,,dup"},
      {"data.d.b", 3, 3, "0,,1,,2"},
      {"data.d.s", 8, 0, ""},  // UTF-16 units: 2 + 4 + a surrogate pair
      {"data.d.o", 7, 1, "length"},
      {"data.d.dup", 0, 2, "k,,j"},
      {"data.d.a", 0, 0, ""},
      {"data.d.n", 0, 0, ""},
      {"data.itemList", 0, 0, ""},
      {"data.x.y", 0, 0, ""},
      {"nothing", 0, 0, ""},
  };
  for (const auto& reader : readers) {
    for (const auto& c : cases) {
      EXPECT_EQ(reader.getLength(c.path), c.length) << c.path;
      EXPECT_EQ(reader.getMemberCount(c.path), c.members) << c.path;
      EXPECT_EQ(reader.getKeyList(c.path), c.keyList) << c.path;
    }
  }
}

TEST(JsonReaderTest, GetKeysSplitsTheKeyList) {
  JsonReader reader = Loaded(R"({"ab":{"a":1,"b":2},"empty":{},"tail":{"x":1,"":2},"mid":{"":1,"y":2}})");
  struct Case {
    const char* path;
    std::vector<std::string> keys;
  };
  const Case cases[] = {
      {"data.ab", {"a", "b"}}, {"data.empty", {}},
      {"data.missing", {}},    {"data.tail", {"x"}},  // an empty last piece is dropped
      {"data.mid", {"", "y"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> keys = {"stale"};
    EXPECT_EQ(reader.getKeys(c.path, keys), static_cast<int32_t>(c.keys.size())) << c.path;
    EXPECT_EQ(keys, c.keys) << c.path;
  }
}

TEST(JsonReaderTest, CopiesShareVariablesAndReloadReplacesThem) {
  JsonReader first;
  first.load("data", R"({"v":"one"})");
  JsonReader copy(first);
  JsonReader assigned;
  assigned = first;
  copy.load("data", R"({"v":"two"})");
  EXPECT_EQ(first.getText("data.v"), "two");
  EXPECT_EQ(assigned.getText("data.v"), "two");

  // Invalid text defines nothing: the previous value stays.
  first.load("data", R"({"v":"three")");
  EXPECT_EQ(copy.getText("data.v"), "two");

  // Names are separate variables.
  first.load("other", R"({"v":"four"})");
  EXPECT_EQ(first.getText("other.v"), "four");
  EXPECT_EQ(first.getText("data.v"), "two");
}

TEST(JsonReaderTest, AcceptsOnlyHarmlessWrapping) {
  struct Case {
    std::string json;
    std::string expected;  // data.a
  };
  const Case cases[] = {
      {" \r\n\t{\"a\":\"ok\"} \r\n", "ok"},
      {"{\"a\":\"ok\"};", "ok"},
      {"{\"a\":\"ok\"} ; ; ", "ok"},
      {"({\"a\":\"ok\"});", "ok"},
      {"(({\"a\":\"ok\"}))", "ok"},
      {"\x84\x31\x95\x33{\"a\":\"ok\"}", "ok"},  // U+FEFF in GB18030
      // What only a script engine reads stays unread.
      {"{a:\"ok\"}", ""},
      {"{'a':'ok'}", ""},
      {"{\"a\":\"ok\",}", ""},
      {"{\"a\":\"ok\"} // note", ""},
      {"{\"a\":\"ok\"}{\"a\":\"again\"}", ""},
      {"{\"a\":\"ok\"} x", ""},
      {"({\"a\":\"ok\"}", ""},
      {"setMdskip({\"a\":\"ok\"})", ""},
      {"{\"a\":alert(1)}", ""},
      {"{\"a\":NaN}", ""},
      {"{\"a\":\"bad \\x escape\"}", ""},
      {"{\"a\":01}", ""},
      {"{\"a\" \"ok\"}", ""},
      {"{\"a\":\"ok\" \"b\":1}", ""},
      {"{\"a\":[\"ok\"}", ""},
      {"{\"b\":tru,\"a\":\"ok\"}", ""},
      {"{\"b\":nul,\"a\":\"ok\"}", ""},
      {"{\"a\":-}", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Loaded(c.json).getText("data.a"), c.expected) << c.json;
    // The same through the slower path, which a number beyond the double range takes.
    std::string forced = c.json;
    forced.insert(forced.find('{') + 1, "\"n\":1e999,");
    EXPECT_EQ(Loaded(forced).getText("data.a"), c.expected) << forced;
  }
}

// The check alone says yes exactly where load() reads the text: on every form of
// wrapping, on what only a script engine reads, on the values only the slower
// path keeps, and on hostile text.
TEST(JsonReaderTest, CheckAloneAgreesWithLoad) {
  std::vector<std::string> texts = {" {\"a\":\"ok\"} ;",
                                    "({\"a\":\"ok\"});",
                                    "\x84\x31\x95\x33{\"a\":1}",
                                    "{a:1}",
                                    "{\"a\":1,}",
                                    "{\"a\":1} x",
                                    "({\"a\":1}",
                                    "{\"a\":NaN}",
                                    "{\"a\":01}",
                                    "[1e999]",
                                    "{\"a\":1e999,\"b\":tru}",
                                    "{\"a\":123456789012345678901234567890}",
                                    "{\"a\":\"\\ud800\"}",
                                    "{\"a\":\"\\ud800\",}",
                                    "\"\xB0\xA1\"",
                                    "{\"\xB0\xA1\":\"\x95\x5C\"}",
                                    "{\"a\":\"\x81\"}",
                                    "\x81",
                                    "",
                                    "  ",
                                    "()",
                                    "1",
                                    "true",
                                    "nul",
                                    std::string(3000, '[') + std::string(3000, ']'),
                                    std::string(100000, '['),
                                    "{\"a\":" + std::string(400, '9') + "}",
                                    std::string("{\"a\":\"x\0y\"}", 11),
                                    "{\"a\":\"x\\u0000y\"}",
                                    test::ReadFixtureAsGbk("real/mdskip-answer-20181020.txt").substr(10)};
  texts.back().pop_back();  // the real answer without "setMdskip(" and ")"
  int read = 0;
  for (const std::string& text : texts) {
    JsonReader reader;
    const bool loaded = reader.load("data", text);
    EXPECT_EQ(IsJsonValue(text), loaded) << text.substr(0, 80);
    read += loaded;
  }
  EXPECT_GT(read, 8);
}

TEST(JsonReaderTest, TopLevelValuesAndNames) {
  const TextCase cases[] = {
      {"\"text\"", "text"}, {"12", "12"},       {"99999999999999999999999", "99999999999999999999999"},
      {"true", "true"},     {"null", ""},       {"[1,2]", "1,2"},
      {"\"a\" \"b\"", ""},  {"\"unclosed", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(Loaded(c.path).getText("data"), c.expected) << c.path;

  JsonReader reader;
  for (const char* bad : {"", "1x", "a.b", "a b", "a[0]"}) reader.load(bad, "{\"v\":1}");
  for (const char* path : {"1x.v", "a.v", "a.b.v", "a[0].v"}) EXPECT_EQ(reader.getText(path), "") << path;
  reader.load("$_x1", "{\"v\":1}");
  EXPECT_EQ(reader.getText("$_x1.v"), "1");
}

TEST(JsonReaderTest, ConvertsBetweenGbkAndTheParser) {
  // Raw Chinese text arrives in GBK; escapes decode to the same characters.
  auto readers = BothWays(G(R"({"city":"广东汕头","esc":"\u5e7f\u4e1c\u6c55\u5934","广东":{"名":"值"},)"
                            R"("mixed":"a\u00e9b","emoji":"\ud83d\ude00","keys":{"甲":1,"\u4e59":2}})"));
  const TextCase cases[] = {
      {"data.city", G("广东汕头")}, {"data.esc", G("广东汕头")}, {"data.mixed", G("aéb")},
      {"data.emoji", G("😀")},       {"data.广东.名", G("值")},   {"data[\"广东\"]['名']", G("值")},
  };
  for (const auto& reader : readers) {
    for (const auto& c : cases) EXPECT_EQ(reader.getText(G(c.path)), c.expected) << c.path;
    EXPECT_EQ(reader.getKeyList("data.keys"), G("甲,,乙"));
    EXPECT_EQ(reader.getLength("data.emoji"), 2);
    EXPECT_EQ(reader.getLength("data.city"), 4);
  }

  // A GBK trail byte may look like a backslash or a bracket: 癨 is B0 5C, 誡 D5 5D, 乕 81 5B.
  std::string trail = G("癨誡乕");
  ASSERT_EQ(trail, "\xB0\x5C\xD5\x5D\x81\x5B");
  for (const auto& tricky : BothWays("{\"" + trail + "\":\"" + trail + "\"}")) {
    EXPECT_EQ(tricky.getText("data." + trail), trail);
    EXPECT_EQ(tricky.getText("data[\"" + trail + "\"]"), trail);
    std::vector<std::string> keys;
    tricky.getKeys("data", keys);
    ASSERT_FALSE(keys.empty());
    EXPECT_EQ(keys.front(), trail);
  }
}

// Loading only some paths reads those paths as the whole load does: repeated
// names (the last one wins), arrays and strings on the way, a value kept whole
// below the path, roots that are no object, the slower reading path, and texts
// that do not load.
TEST(JsonReaderTest, LoadAlongReadsItsPathsAsLoadDoes) {
  const std::vector<std::string> texts = {
      "{\"data\":{\"price\":\"6.90\",\"dynStock\":{\"sellableQuantity\":12},\"other\":[1,2]}}",
      "{\"data\":{\"price\":\"1\"},\"data\":{\"price\":\"2\",\"x\":{}}}",
      "{\"data\":{\"price\":{\"min\":1,\"max\":[3,4]},\"price\":null}}",
      "{\"data\":[{\"price\":1},{\"price\":2}],\"data\":{\"price\":[5,6,7]}}",
      "{\"data\":\"\xB0\xA1\xB0\xA1\",\"n\":1e999}",
      "{\"data\":{\"price\":123456789012345678901234567890,\"dynStock\":{\"sellableQuantity\":-3}}}",
      "{\"\xB0\xA1\":{\"price\":\"9\"},\"data\":{\"dynStock\":\"none\"}}",
      "[{\"data\":1}]",
      "\"data\"",
      "{\"data\":{\"price\":1},}",
      "{\"data\":{\"price\":1}} x",
      "",
  };
  const std::string gbkName = "data." + G("啊") + ".price";
  const std::vector<std::string_view> along = {"data.data.price", "data.data.dynStock.sellableQuantity",
                                               "data.data.length", gbkName, "other.data.x"};
  const std::vector<std::string> paths = {"data.data.price",
                                          "data.data.price.max",
                                          "data.data.price[1]",
                                          "data.data.price.max.length",
                                          "data.data.dynStock.sellableQuantity",
                                          "data.data.length",
                                          "data.data.price.length",
                                          "data[0].data",
                                          "data." + G("啊") + ".price"};
  int read = 0;
  for (const std::string& text : texts) {
    JsonReader whole, kept;
    const bool loaded = whole.load("data", text);
    ASSERT_EQ(kept.loadAlong("data", text, along), loaded) << text;
    read += loaded;
    for (const std::string& path : paths) {
      EXPECT_EQ(kept.getText(path), whole.getText(path)) << text << " " << path;
      EXPECT_EQ(kept.getLength(path), whole.getLength(path)) << text << " " << path;
      EXPECT_EQ(kept.isArray(path), whole.isArray(path)) << text << " " << path;
    }
  }
  EXPECT_EQ(read, 9);
  int realRead = 0;
  for (const char* name :
       {"real/sib-answer-563661869008.txt", "real/sib-answer-566923463991.txt", "real/sib-answer-576700654210.txt"}) {
    const std::string answer = test::ReadFixtureAsGbk(name);
    // The object, whatever wraps it.
    const size_t open = answer.find('{'), close = answer.rfind('}');
    ASSERT_LT(open, close) << name;
    const std::string json = answer.substr(open, close - open + 1);
    JsonReader whole, kept;
    const bool loaded = whole.load("data", json);  // one of them lost a span
    ASSERT_EQ(kept.loadAlong("data", json, {"data.data.price", "data.data.dynStock.sellableQuantity"}), loaded) << name;
    realRead += loaded;
    for (const char* path : {"data.data.price", "data.data.dynStock.sellableQuantity"})
      EXPECT_EQ(kept.getText(path), whole.getText(path)) << name << " " << path;
  }
  EXPECT_EQ(realRead, 2);
}

TEST(JsonReaderTest, ReadsRealAnswers) {
  std::string mdskip = test::ReadFixtureAsGbk("real/mdskip-answer-20181020.txt");
  ASSERT_EQ(mdskip.rfind("setMdskip(", 0), 0u);
  mdskip = mdskip.substr(10, mdskip.size() - 11);
  JsonReader md = Loaded(mdskip);
  EXPECT_EQ(md.getText("data.defaultModel.sellCountDO.sellCount"), "67");
  EXPECT_EQ(md.getText("data.defaultModel.deliveryDO.deliveryAddress"), G("日本"));
  EXPECT_EQ(md.getText("data.defaultModel.tradeResult.startTime"), "1539584594000");
  EXPECT_EQ(md.getText("data.isSuccess"), "true");

  std::string sib = test::ReadFixture("real/sib-answer-563661869008.txt");
  ASSERT_EQ(sib.back(), ')');
  JsonReader first = Loaded(sib.substr(0, sib.size() - 1));
  EXPECT_EQ(first.getText("data.data.deliveryFee.data.sendCity"), G("广东汕头"));
  EXPECT_EQ(first.getText("data.data.price"), "6.90");
  EXPECT_EQ(first.getText("data.data.soldQuantity.confirmGoodsCount"), "2085");
  EXPECT_EQ(first.getText("data.data.deliveryFee.dataUrl"), "//detailskip.taobao.com/json/deliveryFee.htm");

  std::string wrapped = test::ReadFixture("real/sib-answer-566923463991.txt");
  size_t open = wrapped.find('('), close = wrapped.rfind(')');
  ASSERT_NE(open, std::string::npos);
  JsonReader second = Loaded(wrapped.substr(open + 1, close - open - 1));
  EXPECT_EQ(second.getText("data.data.price"), "9.80");
  EXPECT_EQ(second.getText("data.data.soldQuantity.soldTotalCount"), "1760");
  EXPECT_EQ(second.getText("data.data.originalPrice[\";1627207:28320;\"].price"), "9.80");
  EXPECT_EQ(second.getKeyList("data.data.originalPrice"), "def,,;1627207:28320;");
  EXPECT_EQ(second.getText("data.data.viewer.lgin"), "true");
  // The answer as it came, "(...);", reads the same.
  EXPECT_EQ(Loaded(wrapped).getText("data.data.price"), "9.80");
}

TEST(JsonReaderTest, SurvivesHostileText) {
  std::vector<std::string> hostile = {
      std::string(100000, '['),
      std::string(100000, '[') + std::string(100000, ']'),
      std::string(50000, '{'),
      std::string(1000, '[') + "1e999",
      "[1e999," + std::string(100000, '[') + std::string(100000, ']') + "]",
      std::string(2000, '[') + "1e999" + std::string(2000, ']'),
      "{\"a\":" + std::string(200000, '9') + "}",
      "{\"a\":1e99999999999999999999}",
      "{\"a\":\"\xFF\xFE\x80\"}",
      "{\"a\":\"\x81\"}",
      "\x81",
      "{\"a\":\"\\ud800\\u",
      "{\"a\":[1,2,{\"b\":",
      "",
      "   ",
      ";",
      "()",
      std::string("{\"a\":\"x\0y\"}", 11),
  };
  for (const auto& json : hostile) {
    JsonReader reader = Loaded(json);
    EXPECT_EQ(reader.getText("data.a.b"), "");
    EXPECT_EQ(reader.getLength("data"), 0);
    EXPECT_EQ(reader.getMemberCount("data.a"), 0);
    EXPECT_EQ(reader.getKeyList("data[0][0]"), "");
  }
  // Hostile but readable: each defines the variable.
  EXPECT_EQ(Loaded("{\"a\":" + std::string(400, '9') + "}").getText("data.a"), std::string(400, '9'));
  EXPECT_EQ(Loaded(std::string(500, '[') + std::string(500, ']')).getLength("data"), 1);
  EXPECT_EQ(Loaded(std::string(1000, '[') + "1e999" + std::string(1000, ']')).getText("data"), "Infinity");
  EXPECT_EQ(Loaded(std::string("{\"a\":\"x\\u0000y\"}")).getText("data.a"), std::string("x\0y", 3));
  // Raw bytes that are no GBK character read as replacement characters, not garbage.
  std::string replaced = Loaded("{\"a\":\"\x80z\"}").getText("data.a");
  EXPECT_EQ(replaced.back(), 'z');
  EXPECT_GT(replaced.size(), 1u);
}

}  // namespace
}  // namespace kelvora

namespace kelvora {
namespace {

// Quoted texts must read back as the same text, whatever bytes they hold.
TEST(JsonQuoteTest, QuotedTextReadsBack) {
  const std::string cases[] = {"plain", "a\"b\\c", "tab\there\r\nline", std::string("nul\0x", 5),
                               "\xe5\xb9\xbf\xe4\xb8\x9c" /* 广东 */};
  for (const auto& utf8 : cases) {
    JsonReader r;
    r.load("data", Utf8ToGbk("[" + JsonQuote(utf8) + "]"));
    EXPECT_EQ(r.getText("data[0]"), Utf8ToGbk(utf8)) << JsonQuote(utf8);
  }
  // A byte that is not UTF-8 is escaped, so the literal stays valid JSON.
  EXPECT_EQ(JsonQuote("a\xff"), "\"a\\u00ff\"");
}

}  // namespace
}  // namespace kelvora

namespace kelvora {
namespace {

TEST(JsonKinds, StringAndArrayAreToldApart) {
  JsonReader r;
  r.load("data", R"({"s":"12","n":12,"a":[],"o":{},"z":null})");
  EXPECT_TRUE(r.isString("data.s"));
  EXPECT_FALSE(r.isString("data.n"));  // reads as "12" too, but is a number
  EXPECT_TRUE(r.isArray("data.a"));
  EXPECT_FALSE(r.isArray("data.o"));
  EXPECT_FALSE(r.isString("data.z"));
  EXPECT_FALSE(r.isArray("data.missing.deeper"));
  JsonReader fresh;
  EXPECT_FALSE(fresh.isArray("data"));
}

}  // namespace
}  // namespace kelvora

namespace kelvora {
namespace {

// Long arrays are read through an element table: every element, whatever its kind
// and however deep its own elements, must come back as in a short array.
TEST(JsonReaderTest, LongArraysReadEveryElement) {
  std::string json = "{\"a\":[";
  for (int k = 0; k < 300; ++k) {
    if (k) json += ",";
    if (k % 3 == 0)
      json += std::to_string(k);
    else if (k % 3 == 1)
      json += "{\"v\":" + std::to_string(k) + ",\"w\":[[1],[2]]}";
    else {
      json += "[" + std::to_string(k) + ",[0";  // an inner array long enough for its own table
      for (int n = 0; n < 70; ++n) json += ",1";
      json += "]]";
    }
  }
  json += "],\"b\":\"end\"}";
  for (const std::string& text : {json, json.substr(0, json.size() - 1) + ",\"c\":1e999}"}) {
    JsonReader reader;
    reader.load("data", text);
    ASSERT_EQ(reader.getLength("data.a"), 300) << text.size();
    for (int k = 0; k < 300; ++k) {
      const std::string at = "data.a[" + std::to_string(k) + "]";
      const std::string got = k % 3 == 0   ? reader.getText(at)
                              : k % 3 == 1 ? reader.getText(at + ".v")
                                           : reader.getText(at + "[0]");
      EXPECT_EQ(got, std::to_string(k)) << at;
    }
    EXPECT_EQ(reader.getText("data.a[300]"), "");
    EXPECT_EQ(reader.getText("data.a[2][1][70]"), "1");
    EXPECT_EQ(reader.getText("data.b"), "end");
  }
}

}  // namespace
}  // namespace kelvora
