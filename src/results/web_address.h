#pragma once
// Which texts may be handed to the desktop's browser. A link cell holds whatever
// a page gave us, so only web addresses leave the program.
#include <string>

namespace kelvora {

// The address to open for a link text: an http or https address with a host
// (scheme in any case), or a protocol-relative "//host/..." read as http. Blanks
// around the text are dropped. Anything else (file:, javascript:, data:, relative
// paths, control characters) gives empty text: nothing is opened.
std::string BrowsableAddress(const std::string& link);

}  // namespace kelvora
