#pragma once
// Scanning GBK byte text: whether a byte starts a character, told from the bytes
// before it, and several long markers looked for in one pass over a long text.
// Characters follow the rules of net/text.h: a byte >= 0x80 starts a two-byte
// character, whatever its trail byte (a lone lead byte at the very end is one byte).
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelvora {

// Whether 0-based `at` starts a character when characters are counted from the
// character start `from` (from <= at < text.size()). Only the run of bytes >= 0x80
// right before `at` is read, so the cost does not grow with the distance to `from`.
bool IsCharacterStart(std::string_view text, size_t from, size_t at);

// The first occurrence at a character start of each of a few short texts, in one
// pass over `text` that stops when all are found: at[k] is where sought[k] starts
// (0-based), npos when it does not occur; an empty one never occurs. The same
// as a Find of each from the start, for texts found early in a long page.
void FindEach(std::string_view text, std::span<const std::string_view> sought, std::span<size_t> at);

// Markers looked for in one pass over a text, for long texts in which they are
// usually absent: the answer is the same as a Find of each marker from the start.
class MarkerSet {
 public:
  explicit MarkerSet(std::vector<std::string> markers);
  // Element k is true when marker k occurs in `text` at a character start. An
  // empty marker never occurs.
  std::vector<bool> occurring(std::string_view text) const;
  const std::vector<std::string>& markers() const { return markers_; }

 private:
  struct Piece {
    uint64_t word;    // eight bytes of a marker
    uint32_t marker;  // which marker
    uint32_t offset;  // where in it
  };
  std::vector<std::string> markers_;
  std::vector<bool> sampled_;           // per marker: found through the sampled words
  std::vector<uint64_t> first_, last_;  // per marker: its first and last eight bytes
  std::vector<Piece> pieces_;           // every eight-byte piece of the sampled markers, by bucket
  std::vector<uint32_t> buckets_;       // where each bucket's pieces start in pieces_
  std::vector<uint64_t> filter_;        // a bit per hash of the pieces' words
  size_t stride_ = 0;                   // distance between the sampled words of the text
};

}  // namespace kelvora
