#pragma once
// The Boost patterns that search answers were read with before the hand-written
// readers, kept as the reference those readers must agree with (the tests and the
// differential fuzz program). Perl syntax: "\<" is a word start, "\=" a plain "=",
// "." any byte, line breaks included.
#include <boost/regex.hpp>

#include <string>
#include <vector>

#include "net/text.h"
#include "search/keyword_search.h"

namespace kelvora::test {

inline const boost::regex& AuctionLinkPattern(AuctionLinkForm form) {
  static const boost::regex traceNum(
      "\\<a trace\\=\"auction\"  traceNum\\=\"\\d\"  data-pid\\=\"(?:.+?)\" href\\=\"(.+?)\" target\\=\"_blank\" "
      "class\\=\"s(.+?)\">",
      boost::regex::perl);
  static const boost::regex traceIdx("\\<a trace\\=\"auction\" traceidx\\=\"(?:.+?)\" href\\=\"(.+?)\"",
                                     boost::regex::perl);
  return form == AuctionLinkForm::TraceNum ? traceNum : traceIdx;
}

// Group 1 of every match, each search starting where the last match ended. Throws
// std::runtime_error where the engine gives up (its complexity limit).
inline std::vector<std::string> PatternLinks(const std::string& page, AuctionLinkForm form) {
  std::vector<std::string> found;
  for (boost::sregex_iterator it(page.begin(), page.end(), AuctionLinkPattern(form)), end; it != end; ++it)
    found.push_back((*it)[1].str());
  return found;
}

// The shop's JSONP pattern, applied after the CR LF pairs are dropped as the reader
// drops them (a pair whose CR ends a double-byte character stays); "$" ends a line
// before LF, CR or FF and at the end of the text. Throws as above.
inline std::string PatternJsonp(const std::string& answer) {
  static const boost::regex pattern("json(.+?)\\((.+?)\\)$", boost::regex::perl);
  const std::string text = ReplaceAll(answer, "\r\n");
  boost::smatch m;
  return boost::regex_search(text, m, pattern) ? m[2].str() : std::string();
}

}  // namespace kelvora::test
