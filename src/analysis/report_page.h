#pragma once
// Handing the report's texts to the report page (res/b.html): each text as a
// script string literal, and the page made self-contained for a file of its own.
#include <stop_token>
#include <string>
#include <string_view>

namespace kelvora {

// `utf8` as a single-quoted JavaScript string literal that is also safe inside an
// HTML <script> element: backslashes, quotes, line breaks, other control
// characters, U+2028/U+2029, "</" and "<!--" are escaped.
std::string JsStringLiteral(std::string_view utf8);

// "NAME('...');" calling a page function with a GBK text (converted to UTF-8).
std::string PageFunctionCall(std::string_view function, std::string_view gbkText);

// The page's chart library tag, replaced by the library itself in a standalone page.
inline constexpr std::string_view kChartLibraryTag = "<script src=\"echarts.min.js\"></script>";

// The page with the chart library inlined and `calls` (script text) run at its end,
// so the one file shows the report offline. False with `error` when the page lacks
// the library tag or its </body>.
bool BuildStandaloneReportPage(std::string_view pageHtml, std::string_view chartLibrary, std::string_view calls,
                               std::string& out, std::string& error);

// Writes `bytes` to a new file beside `path` and renames it over `path`, so that
// `path` is either the old file or the whole new one. False with `error` on failure,
// and false with `error` empty when `stop` was requested before the rename (the
// old file stays then). Leftover temporary files of ended processes beside `path`
// are removed first.
bool WriteFileReplacing(const std::string& path, std::string_view bytes, std::string& error,
                        const std::stop_token& stop = {});

}  // namespace kelvora
