#pragma once
// How one request failed, as the request layer reports it and the results store keeps it.
#include <cstdint>

namespace kelvora {

// NoAnswer: nothing came back (no connection, no status line in time).
// ErrorStatus: the server answered with a status of 400 or more.
// CutShort: the answer began but did not arrive whole (dropped, stalled, timed out).
// Refused: the request was not made or its answer not taken (an address that is
// not http or https, a body over the size limit, a redirect we do not follow).
// Malformed: the answer arrived whole but is not of the form its reader expects
// (a script answer that does not parse, a page without the markers of its kind).
enum class FailureKind : uint8_t { None = 0, NoAnswer, ErrorStatus, CutShort, Refused, Malformed };

}  // namespace kelvora
