#include "session/cart_test.h"

#include "net/codec.h"
#include "net/endpoints.h"
#include "net/http.h"
#include "net/text.h"

namespace kelvora {

CartTestResult TestCartCookie(std::string cookie) {
  static const std::string marker = Utf8ToGbk("我的购物车</title>");
  static const std::string usable = Utf8ToGbk("恭喜您。该数据可用。请复制。");
  static const std::string doubtful = Utf8ToGbk("当前数据可能不正确。请重试或比对调试数据");

  std::string url = CurrentEndpoints()->CART_SITE + "/cart.htm";
  const std::string answer = HttpFetch(url, "", cookie);
  CartTestResult result;
  result.debugText = Left(answer, 1000);
  // A failed request gives empty text, which simply lacks the marker.
  result.usable = Find(answer, marker) != -1;
  result.message = result.usable ? usable : doubtful;
  return result;
}

}  // namespace kelvora
