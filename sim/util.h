#pragma once
// Small helpers of the simulator: deterministic hashing, JSON text, URL decoding.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/json.h"  // JsonQuote

namespace kelvora::sim {

// SplitMix64 step; the simulator's only source of "randomness".
inline uint64_t Mix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}
uint64_t HashText(uint64_t seed, std::string_view text);

class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    state_ += 0x9E3779B97F4A7C15ull;
    return Mix64(state_);
  }
  // Uniform in [0, n); n > 0.
  uint64_t below(uint64_t n) { return next() % n; }
  double unit() { return static_cast<double>(next() >> 11) / 9007199254740992.0; }
  bool chance(double p) { return unit() < p; }
  template <class T>
  const T& pick(const std::vector<T>& v) {
    return v[below(v.size())];
  }

 private:
  uint64_t state_;
};

// Every non-ASCII character of UTF-8 text as \uXXXX (upper-case hex, surrogate
// pairs above the basic plane), the way the marketplace's scripts escape text.
std::string JavaEscape(std::string_view utf8);
// %XX for every byte that is not an ASCII letter or digit (upper-case hex).
std::string PercentEncodeAll(std::string_view bytes);
// Form decoding: %XX and '+' as a blank.
std::string FormDecode(std::string_view text);
// Splits "a=1&b=2" into decoded pairs, in order.
std::vector<std::pair<std::string, std::string>> ParseForm(std::string_view body);
// Value of the cookie `name` in a Cookie header ("" when absent). Pieces are
// split at ';' and trimmed, so "a=1; path=/;b=2;" works as well.
std::string CookieValue(std::string_view header, std::string_view name);
std::string ToGbk(std::string_view utf8);
std::string FromGbk(std::string_view gbk);
std::string Hex(uint64_t v, int digits);

}  // namespace kelvora::sim
