#include "session/login.h"

#include <boost/regex.hpp>

#include "net/codec.h"
#include "net/http.h"
#include "net/json.h"
#include "net/shared_state.h"
#include "net/text.h"

namespace kelvora {
namespace {

enum TextId { kBadInput, kWrongPassword, kNoSuchUser, kLoginError, kFailed, kWelcome, kUserLabel };

const std::string& Msg(TextId id) {
  static const std::string texts[] = {
      Utf8ToGbk("请输入正确的用户名和密码"),
      Utf8ToGbk("用户密码错误。请重新输入"),
      Utf8ToGbk("用户名不存在。请重新输入"),
      Utf8ToGbk("登录错误请重试"),
      Utf8ToGbk("登录失败请重试"),
      Utf8ToGbk("  您好\r\n感谢您使用本软件！\r\n"),
      Utf8ToGbk("用户名： "),
  };
  return texts[id];
}

}  // namespace

std::string FormEncode(const std::string& gbk) {
  static const char* const hex = "0123456789ABCDEF";
  std::string out;
  out.reserve(gbk.size() * 3);
  for (unsigned char c : gbk) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
        c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else if (c == ' ') {
      out += '+';
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string CollectSetCookies(const std::string& headerBlock) {
  std::string result;
  try {
    // "^"/"$" at every line; the value never runs on into the next line, so a
    // header with an empty value is not taken and no line break reaches a Cookie header.
    static const boost::regex pattern("^Set-Cookie:(.+?)$");
    boost::sregex_iterator it(headerBlock.begin(), headerBlock.end(), pattern, boost::match_not_dot_newline);
    for (boost::sregex_iterator end; it != end; ++it) {
      std::string value = Trim((*it)[1].str());
      result += value;
      result += ';';
    }
  } catch (const std::exception&) {
    return {};
  }
  return result;
}

LoginResult ServiceLogin(const std::string& user, const std::string& password, bool takeSession) {
  LoginResult result;
  result.user = Trim(user);
  result.password = Trim(password);
  if (result.user.size() < 2 || result.password.size() < 6) {
    result.outcome = LoginOutcome::BadInput;
    result.message = Msg(kBadInput);
    return result;
  }
  // The service is a GBK site: values go out as the percent-encoded GBK bytes,
  // so that "&", "=", "+" or "%" in a password cannot break the form.
  const std::string body = "username_box=" + FormEncode(result.user) + "&password_box=" + FormEncode(result.password);
  ServicePostResult answer = ServicePost("index.php/Login/handle_login", body);

  JsonReader reader;
  reader.load("data", answer.body);
  const int32_t err = ToInt32(reader.getText("data.err"));
  switch (err) {
    case 2:
      result.outcome = LoginOutcome::WrongPassword;
      result.message = Msg(kWrongPassword);
      return result;
    case 1:
      result.outcome = LoginOutcome::NoSuchUser;
      result.message = Msg(kNoSuchUser);
      return result;
    case -1:
      result.outcome = LoginOutcome::LoginError;
      result.message = Msg(kLoginError);
      return result;
    case 0:
      if (ToInt32(reader.getText("data.login_uid")) < 1) {
        result.outcome = LoginOutcome::Failed;
        result.message = Msg(kFailed);
        return result;
      }
      break;
    default:
      result.outcome = LoginOutcome::Silent;
      return result;
  }
  result.outcome = LoginOutcome::Success;
  result.cookie = CollectSetCookies(answer.headers);
  if (takeSession) SetServiceCookie(result.cookie);
  result.message = reader.getText("data.login_user") + Msg(kWelcome);
  return result;
}

std::string AccountLabelText() {
  std::string path = "index.php/Getinfo/getJifen";
  const std::string answer = ServiceGet(path);
  JsonReader reader;
  reader.load("data", answer);
  if (ToInt32(reader.getText("data.err")) == 0 && ToInt32(reader.getText("data.login_uid")) > 0)
    return Msg(kUserLabel) + reader.getText("data.login_user");
  return {};
}

}  // namespace kelvora
