#pragma once
// Looks for secret texts in every file below some folders: the bytes themselves,
// percent-encoded (either case), as UTF-16 (either byte order) and inside base64
// (either alphabet, any alignment).
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace kelvora::test {

struct ScanPattern {
  std::string secret;  // what it stands for, for the report
  std::string form;    // "raw", "percent", "utf-16le", "base64" ...
  std::string bytes;
};

struct ScanHit {
  std::string file;
  std::string secret;
  std::string form;
};

struct ScanResult {
  int files = 0;
  long long bytes = 0;
  std::vector<ScanHit> hits;
  std::vector<std::string> unreadable;
};

inline std::string Base64(const std::string& in, bool urlSafe) {
  const char* table = urlSafe ? "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
                              : "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    const unsigned v = (static_cast<unsigned char>(in[i]) << 16) | (static_cast<unsigned char>(in[i + 1]) << 8) |
                       static_cast<unsigned char>(in[i + 2]);
    out += table[(v >> 18) & 63];
    out += table[(v >> 12) & 63];
    out += table[(v >> 6) & 63];
    out += table[v & 63];
  }
  return out;  // whole groups only: the tail depends on what follows in a file
}

// Every form of `secret` the scan looks for.
inline std::vector<ScanPattern> PatternsFor(const std::string& secret) {
  std::vector<ScanPattern> out;
  out.push_back({secret, "raw", secret});
  for (const char* digits : {"0123456789ABCDEF", "0123456789abcdef"}) {
    std::string pct;
    for (unsigned char c : secret) {
      pct += '%';
      pct += digits[c >> 4];
      pct += digits[c & 15];
    }
    out.push_back({secret, digits[10] == 'A' ? "percent" : "percent (lower case)", pct});
  }
  std::string le, be;
  for (char c : secret) {
    le += c;
    le += '\0';
    be += '\0';
    be += c;
  }
  out.push_back({secret, "utf-16le", le});
  out.push_back({secret, "utf-16be", be});
  // In a base64 text the secret starts at one of three offsets of a group; the
  // groups made of its bytes alone appear whatever came before it.
  for (size_t shift = 0; shift < 3 && secret.size() >= shift + 9; ++shift) {
    const std::string tail = secret.substr(shift, (secret.size() - shift) / 3 * 3);
    out.push_back({secret, "base64", Base64(tail, false)});
    out.push_back({secret, "base64url", Base64(tail, true)});
  }
  return out;
}

// Scans every regular file below `root` (symbolic links are not followed) that
// `take` accepts.
inline void ScanTree(const std::filesystem::path& root, const std::vector<ScanPattern>& patterns, ScanResult& result,
                     const std::function<bool(const std::filesystem::directory_entry&)>& take = {}) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::exists(root, ec)) return;
  size_t longest = 1;
  for (const ScanPattern& p : patterns) longest = std::max(longest, p.bytes.size());
  using Searcher = std::boyer_moore_horspool_searcher<std::string::const_iterator>;
  std::vector<Searcher> searchers;
  for (const ScanPattern& p : patterns) searchers.emplace_back(p.bytes.begin(), p.bytes.end());
  const size_t chunkSize = 4 << 20;
  std::string buffer;
  for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec), end;
       !ec && it != end; it.increment(ec)) {
    if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
    if (take && !take(*it)) continue;
    std::ifstream in(it->path(), std::ios::binary);
    if (!in) {
      result.unreadable.push_back(it->path().string());
      continue;
    }
    ++result.files;
    std::vector<bool> found(patterns.size(), false);
    std::string carried;  // the end of the previous chunk, for secrets split across two
    for (;;) {
      buffer.resize(chunkSize);
      in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
      buffer.resize(static_cast<size_t>(in.gcount()));
      if (buffer.empty()) break;
      result.bytes += static_cast<long long>(buffer.size());
      const std::string window = carried + buffer;
      for (size_t p = 0; p < patterns.size(); ++p)
        if (!found[p] && std::search(window.begin(), window.end(), searchers[p]) != window.end()) {
          found[p] = true;
          result.hits.push_back({it->path().string(), patterns[p].secret, patterns[p].form});
        }
      carried = window.substr(window.size() - std::min(window.size(), longest - 1));
    }
  }
}

}  // namespace kelvora::test
