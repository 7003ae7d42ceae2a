#pragma once
// How one request failed, as the request layer reports it and the results store keeps it.
#include <cstdint>

namespace kelvora {

// NoAnswer: nothing came back (no connection, no status line in time).
// ErrorStatus: the server answered with a status of 400 or more.
// CutShort: the answer began but did not arrive whole (dropped, stalled, timed out).
// Refused: the request was not made or its answer not taken (an address that is
// not http or https, a body over the size limit, a redirect we do not follow).
enum class FailureKind : uint8_t { None = 0, NoAnswer, ErrorStatus, CutShort, Refused };

}  // namespace kelvora
