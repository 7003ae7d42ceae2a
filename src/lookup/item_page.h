#pragma once
// Turns one item page address into a filled row: page kind, title, seller, item id,
// and the secondary answer's sales, price, stock and location; then the lookup.
#include <string>

#include "app/results_table.h"

namespace kelvora {

ResultRow AnalyseItemPage(std::string url, bool viaAltHost);

std::string ReadSalesCount(const std::string& answer, bool isTmall);
std::string ReadPrice(const std::string& answer, bool isTmall);
std::string ReadLocation(const std::string& answer, bool isTmall);
std::string ReadStock(const std::string& answer);

}  // namespace kelvora
