#include "analysis/report_page.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "net/codec.h"
#include "net/temp_files.h"

namespace kelvora {
namespace {

bool StartsWithNoCase(std::string_view text, size_t at, std::string_view prefix) {
  if (text.size() - at < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = text[at + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

// "</script" inside the inlined library would end its element early.
std::string GuardScriptText(std::string_view script) {
  std::string out;
  out.reserve(script.size() + 16);
  for (size_t i = 0; i < script.size(); ++i) {
    if (script[i] == '<' && StartsWithNoCase(script, i, "</script")) {
      out += "<\\/";
      ++i;
      continue;
    }
    out += script[i];
  }
  return out;
}

size_t FindNoCase(std::string_view text, std::string_view lowerNeedle, bool last) {
  size_t found = std::string_view::npos;
  for (size_t i = 0; i + lowerNeedle.size() <= text.size(); ++i) {
    if (StartsWithNoCase(text, i, lowerNeedle)) {
      found = i;
      if (!last) break;
    }
  }
  return found;
}

}  // namespace

std::string JsStringLiteral(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() + utf8.size() / 8 + 2);
  out += '\'';
  for (size_t i = 0; i < utf8.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    switch (c) {
      case '\\':
        out += "\\\\";
        continue;
      case '\'':
        out += "\\'";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\t':
        out += "\\t";
        continue;
      default:
        break;
    }
    if (c < 0x20 || c == 0x7f) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\x%02X", c);
      out += buffer;
    } else if (c == 0xE2 && i + 2 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) == 0x80 &&
               (static_cast<unsigned char>(utf8[i + 2]) == 0xA8 || static_cast<unsigned char>(utf8[i + 2]) == 0xA9)) {
      // Line and paragraph separators end a string literal in older engines.
      out += static_cast<unsigned char>(utf8[i + 2]) == 0xA8 ? "\\u2028" : "\\u2029";
      i += 2;
    } else if (c == '<' && i + 1 < utf8.size() && utf8[i + 1] == '/') {
      out += "<\\/";
      ++i;
    } else if (c == '<' && utf8.substr(i, 4) == "<!--") {
      out += "<\\!--";
      i += 3;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '\'';
  return out;
}

std::string PageFunctionCall(std::string_view function, std::string_view gbkText) {
  return std::string(function) + "(" + JsStringLiteral(GbkToUtf8(gbkText)) + ");";
}

bool BuildStandaloneReportPage(std::string_view pageHtml, std::string_view chartLibrary, std::string_view calls,
                               std::string& out, std::string& error) {
  const size_t tag = pageHtml.find(kChartLibraryTag);
  if (tag == std::string_view::npos) {
    error = "the report page does not load echarts.min.js";
    return false;
  }
  const size_t body = FindNoCase(pageHtml, "</body>", true);
  if (body == std::string_view::npos || body < tag) {
    error = "the report page has no </body>";
    return false;
  }
  out.clear();
  out.reserve(pageHtml.size() + chartLibrary.size() + calls.size() + 64);
  out.append(pageHtml.substr(0, tag));
  out += "<script>";
  out += GuardScriptText(chartLibrary);
  out += "</script>";
  out.append(pageHtml.substr(tag + kChartLibraryTag.size(), body - tag - kChartLibraryTag.size()));
  out += "<script>\n";
  out += GuardScriptText(calls);
  out += "\n</script>\n";
  out.append(pageHtml.substr(body));
  return true;
}

bool WriteFileReplacing(const std::string& path, std::string_view bytes, std::string& error,
                        const std::stop_token& stop) {
  static std::atomic<unsigned> counter{0};
  // "NAME.tmp-PID-N"; those of a process that is gone are leftovers of a killed run.
  const TempNamePattern tempNames{BaseNameOf(path) + ".tmp-", "", true};
  RemoveStaleTemporaries(FolderOf(path), tempNames);
  const std::string temp = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = path + ": " + std::strerror(errno);
      ::close(fd);
      ::unlink(temp.c_str());
      return false;
    }
    done += static_cast<size_t>(n);
  }
  const bool synced = ::fsync(fd) == 0;
  const bool closed = ::close(fd) == 0;
  if (!synced || !closed) {
    error = path + ": " + std::strerror(errno);
    ::unlink(temp.c_str());
    return false;
  }
  if (stop.stop_requested()) {
    error.clear();
    ::unlink(temp.c_str());
    return false;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    error = path + ": " + std::strerror(errno);
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace kelvora
