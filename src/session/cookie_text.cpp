#include "session/cookie_text.h"

#include "net/codec.h"
#include "net/text.h"

namespace kelvora {
namespace {

const std::string& EmptyMessage() {
  static const std::string text = Utf8ToGbk("请输入内容");
  return text;
}

const std::string& ImplausibleMessage() {
  static const std::string text = Utf8ToGbk(
      "您提供的值可能不正确。请重新提取\r\n此处不是填写任何帐号或者密码信息\r\n"
      "详情请看窗口上的说明");
  return text;
}

// Title row of the browsers' cookie table ("key value").
const std::string& TableTitleRow() {
  static const std::string text = Utf8ToGbk("键 值");
  return text;
}

}  // namespace

CookieTextResult NormalizeCookieText(const std::string& pasted) {
  CookieTextResult result;
  // A cookie table copied from a browser's developer tools comes as
  // "Cookie<TAB>name=value..." lines with a title row; flatten it to one line.
  std::string text = ReplaceAll(pasted, "Cookie\t");
  text = ReplaceAll(text, "\t", " ");
  text = ReplaceAll(text, "\r\n");
  result.cleaned = text;
  if (Trim(text).empty()) {
    result.refusal = EmptyMessage();
    return result;
  }
  text = ReplaceAll(text, TableTitleRow());
  result.cleaned = text;
  if (Find(text, "=") == -1 || text.size() < 25) {
    result.refusal = ImplausibleMessage();
    return result;
  }
  result.accepted = true;
  result.cookie = Trim(text);
  return result;
}

}  // namespace kelvora
