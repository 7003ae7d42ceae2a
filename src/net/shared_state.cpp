#include "net/shared_state.h"

#include <mutex>

namespace kelvora {
namespace {

// One immutable value behind a lock held only for the pointer swap or copy, so a
// reader always sees a whole value and a writer never waits for a reader's request.
template <typename T>
class SharedValue {
 public:
  std::shared_ptr<const T> get() const {
    std::lock_guard lock(mutex_);
    return value_;
  }
  void set(T value) {
    auto next = std::make_shared<const T>(std::move(value));
    std::lock_guard lock(mutex_);
    value_.swap(next);
    // The old value is released after the lock, by `next`.
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const T> value_ = std::make_shared<const T>();
};

SharedValue<std::string>& MarketCookieValue() {
  static SharedValue<std::string> value;
  return value;
}
SharedValue<std::string>& ServiceCookieValue() {
  static SharedValue<std::string> value;
  return value;
}
SharedValue<std::vector<std::string>>& MonitoredValue() {
  static SharedValue<std::vector<std::string>> value;
  return value;
}

}  // namespace

std::string MarketCookie() { return *MarketCookieValue().get(); }
void SetMarketCookie(std::string cookie) { MarketCookieValue().set(std::move(cookie)); }

std::string ServiceCookie() { return *ServiceCookieValue().get(); }
void SetServiceCookie(std::string cookie) { ServiceCookieValue().set(std::move(cookie)); }

std::shared_ptr<const std::vector<std::string>> MonitoredItemIds() { return MonitoredValue().get(); }
void SetMonitoredItemIds(std::vector<std::string> ids) { MonitoredValue().set(std::move(ids)); }

}  // namespace kelvora
