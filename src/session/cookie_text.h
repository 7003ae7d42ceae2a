#pragma once
// Cleaning and acceptance of the marketplace cookie text that the user pastes.
#include <string>

namespace kelvora {

struct CookieTextResult {
  bool accepted = false;
  std::string cookie;   // the text to become MarketCookie (GBK); empty when refused
  std::string cleaned;  // the cleaned text to show in the paste box, also when refused
  std::string refusal;  // the message to show when refused (GBK); empty when accepted
};

// The confirm rule of the cookie entry: flattens a pasted two-column cookie table
// into one line, refuses blank or implausible text, trims what it accepts.
CookieTextResult NormalizeCookieText(const std::string& pasted);

}  // namespace kelvora
