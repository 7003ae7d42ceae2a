#pragma once
// Lets a worker thread's requests be abandoned from outside, without the rest
// of the request layer: what the windows need to stop their workers.
#include <stop_token>

namespace kelvora {

// Requests made on this thread end early (empty text) once `token` asks to stop.
// Pass a default-constructed token to clear.
void SetThreadStopToken(std::stop_token token);

}  // namespace kelvora
