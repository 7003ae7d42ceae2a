#pragma once
// The client's process-wide settings as tests change them: limits short enough
// for loopback servers, and a guard that puts the settings back when a test ends,
// also when a failed assertion ends it early.
#include <optional>
#include <stop_token>
#include <string>

#include "net/datetime.h"
#include "net/endpoints.h"
#include "net/http.h"
#include "net/shared_state.h"

namespace kelvora::test {

// A connection that does not open, or an answer that stops, fails after 2 s.
inline HttpLimits QuickHttpLimits() {
  HttpLimits limits;
  limits.connectTimeoutSeconds = 2;
  limits.stallTimeoutSeconds = 2;
  return limits;
}

// Keeps the endpoints, limits and cookies in force when it is made, and sets them
// back when it goes; it also drops the calling thread's stop token and any fixed now.
class ClientStateGuard {
 public:
  ClientStateGuard()
      : endpoints_(*CurrentEndpoints()),
        limits_(CurrentHttpLimits()),
        marketCookie_(MarketCookie()),
        serviceCookie_(ServiceCookie()) {}
  ~ClientStateGuard() {
    SetEndpoints(endpoints_);
    SetHttpLimits(limits_);
    SetMarketCookie(marketCookie_);
    SetServiceCookie(serviceCookie_);
    SetThreadStopToken({});
    SetNowOverride(std::nullopt);
  }
  ClientStateGuard(const ClientStateGuard&) = delete;
  ClientStateGuard& operator=(const ClientStateGuard&) = delete;

 private:
  Endpoints endpoints_;
  HttpLimits limits_;
  std::string marketCookie_, serviceCookie_;
};

}  // namespace kelvora::test
