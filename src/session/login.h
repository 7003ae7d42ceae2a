#pragma once
// Sign-in to the vendor lookup service and the account name shown after it.
#include <string>

namespace kelvora {

enum class LoginOutcome {
  Success,        // signed in; ServiceCookie holds the session cookies
  BadInput,       // user name or password too short; nothing was sent
  WrongPassword,  // err 2
  NoSuchUser,     // err 1
  LoginError,     // err -1
  Failed,         // err 0 without an account id, no answer, or no JSON
  Silent,         // any other err: no message, nothing changes
};

struct LoginResult {
  LoginOutcome outcome = LoginOutcome::Failed;
  std::string message;   // GBK; the welcome text on success, empty for Silent
  std::string cookie;    // the collected session cookies on success
  std::string user;      // the trimmed user name, to write back into its box
  std::string password;  // the trimmed password, likewise
};

// Trims both values, checks their lengths, posts the login form and reads the
// answer. On success sets ServiceCookie from the answer's Set-Cookie lines.
// With `takeSession` false the session cookie is only returned in the result: a
// window that may be closed before it handles the answer puts it into effect itself.
LoginResult ServiceLogin(const std::string& user, const std::string& password, bool takeSession = true);

// The session cookie text of a login answer's header block: every "Set-Cookie:"
// line's value, trimmed and followed by ";", in header order.
std::string CollectSetCookies(const std::string& headerBlock);

// application/x-www-form-urlencoded form of a GBK value: unreserved characters
// kept, blank as "+", every other byte as %XX.
std::string FormEncode(const std::string& gbk);

// "用户名： " followed by the signed-in account's name, or empty text when the
// service does not confirm a signed-in account.
std::string AccountLabelText();

}  // namespace kelvora
