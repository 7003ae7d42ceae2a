#pragma once
// The cart test of the cookie capture window: whether a cookie text opens the
// marketplace's shopping cart, i.e. belongs to a signed-in browser session.
#include <string>

namespace kelvora {

struct CartTestResult {
  bool usable = false;
  std::string debugText;  // the first 1000 bytes of the cart answer (GBK)
  std::string message;    // the message to show (GBK)
};

// Fetches CART_SITE + "/cart.htm" with `cookie` (under 2 bytes: MarketCookie is
// sent instead) and checks the answer for the cart page's title.
CartTestResult TestCartCookie(std::string cookie);

}  // namespace kelvora
