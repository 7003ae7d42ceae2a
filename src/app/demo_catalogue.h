#pragma once
// What the demo tour asks the simulator for, without windows.
#include <string>
#include <vector>

namespace kelvora {

// Item page addresses of a few items of each kind (four Taobao, three Tmall, one on
// the alternate host, one removed), read from the catalogue of the simulator at
// `simBase` ("http://127.0.0.1:PORT"). Empty when the catalogue cannot be read.
std::vector<std::string> DemoItemAddresses(const std::string& simBase);

}  // namespace kelvora
