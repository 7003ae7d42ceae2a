#pragma once
// Process-wide texts shared between threads. Each is an immutable value swapped
// whole; a reader takes a copy at the start of its request.
#include <memory>
#include <string>
#include <vector>

namespace kelvora {

std::string MarketCookie();
void SetMarketCookie(std::string cookie);

std::string ServiceCookie();
void SetServiceCookie(std::string cookie);

std::shared_ptr<const std::vector<std::string>> MonitoredItemIds();
void SetMonitoredItemIds(std::vector<std::string> ids);

}  // namespace kelvora
