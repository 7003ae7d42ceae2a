#pragma once
// Two throw-away lookups sent when the cookie window opens, so that the service
// session is active before the first real lookup.
#include <string>

namespace kelvora {

// The lookup path of one warm-up request for the draws r1 and r2 (0..32767).
std::string WarmUpPath(int r1, int r2);

// Sends the two warm-up lookups one after the other and discards the answers.
// Meant for a worker thread; blocks for both requests.
void WarmUpLookups();

}  // namespace kelvora
