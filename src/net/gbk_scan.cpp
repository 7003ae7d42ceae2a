#include "net/gbk_scan.h"

#include <algorithm>
#include <cstring>

#include "net/text.h"

namespace kelvora {
namespace {

// Markers shorter than this are looked for one by one.
constexpr size_t kShortestSampled = 15;
constexpr int kFilterBits = 16;
// The pieces whose words share the top bits of their hash.
constexpr int kBucketBits = 10;

inline uint64_t WordAt(const char* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

inline size_t FilterSlot(uint64_t word) {
  return static_cast<size_t>((word * 0x9E3779B97F4A7C15ULL) >> (64 - kFilterBits));
}

inline size_t BucketOf(size_t slot) { return slot >> (kFilterBits - kBucketBits); }

}  // namespace

bool IsCharacterStart(std::string_view text, size_t from, size_t at) {
  // A byte below 0x80 ends a character, whether it stands alone or trails a lead
  // byte, so the byte after it starts one. From there the bytes >= 0x80 pair up
  // (none of them is the last byte of the text), and `at` starts a character when
  // an even number of them stand before it.
  size_t i = at;
  while (i > from && static_cast<unsigned char>(text[i - 1]) >= 0x80) --i;
  return (at - i) % 2 == 0;
}

// An occurrence of a marker of length L holds the whole eight-byte word at the one
// position inside it that is a multiple of the stride, when stride + 7 <= L. So the
// text is read only at those positions, and a word that is some piece of a marker
// is checked against the marker around it.
MarkerSet::MarkerSet(std::vector<std::string> markers)
    : markers_(std::move(markers)),
      sampled_(markers_.size(), false),
      first_(markers_.size(), 0),
      last_(markers_.size(), 0),
      buckets_((size_t{1} << kBucketBits) + 1, 0),
      filter_((size_t{1} << kFilterBits) / 64, 0) {
  size_t shortest = 0;
  for (const std::string& m : markers_)
    if (m.size() >= kShortestSampled && (shortest == 0 || m.size() < shortest)) shortest = m.size();
  stride_ = shortest - 7;
  for (size_t k = 0; k < markers_.size(); ++k) {
    const std::string& m = markers_[k];
    if (m.size() < kShortestSampled) continue;
    sampled_[k] = true;
    first_[k] = WordAt(m.data());
    last_[k] = WordAt(m.data() + m.size() - 8);
    for (size_t o = 0; o + 8 <= m.size(); ++o) {
      const uint64_t word = WordAt(m.data() + o);
      pieces_.push_back({word, static_cast<uint32_t>(k), static_cast<uint32_t>(o)});
      const size_t slot = FilterSlot(word);
      filter_[slot / 64] |= uint64_t{1} << (slot % 64);
    }
  }
  auto bucket = [](const Piece& piece) { return BucketOf(FilterSlot(piece.word)); };
  std::sort(pieces_.begin(), pieces_.end(), [&](const Piece& a, const Piece& b) { return bucket(a) < bucket(b); });
  for (const Piece& piece : pieces_) ++buckets_[bucket(piece) + 1];
  for (size_t b = 1; b < buckets_.size(); ++b) buckets_[b] += buckets_[b - 1];
}

std::vector<bool> MarkerSet::occurring(std::string_view text) const {
  std::vector<bool> found(markers_.size(), false);
  size_t wanted = 0;
  for (size_t k = 0; k < markers_.size(); ++k) {
    if (sampled_[k])
      ++wanted;
    else if (!markers_[k].empty())
      found[k] = Find(text, markers_[k]) != -1;
  }
  if (wanted == 0) return found;
  const char* data = text.data();
  const uint64_t* filter = filter_.data();
  for (size_t p = 0; p + 8 <= text.size(); p += stride_) {
    const uint64_t word = WordAt(data + p);
    const size_t slot = FilterSlot(word);
    if (((filter[slot / 64] >> (slot % 64)) & 1) == 0) continue;
    const size_t b = BucketOf(slot);
    for (size_t i = buckets_[b]; i < buckets_[b + 1]; ++i) {
      const Piece& piece = pieces_[i];
      if (piece.word != word || p < piece.offset || found[piece.marker]) continue;
      // Links and script around a marker often share a word with it; its ends
      // tell most of them apart before the whole comparison.
      const size_t at = p - piece.offset;
      const std::string& m = markers_[piece.marker];
      if (m.size() > text.size() - at || WordAt(data + at) != first_[piece.marker] ||
          WordAt(data + at + m.size() - 8) != last_[piece.marker] || std::memcmp(data + at, m.data(), m.size()) != 0 ||
          !IsCharacterStart(text, 0, at))
        continue;
      found[piece.marker] = true;
      if (--wanted == 0) return found;
    }
  }
  return found;
}

}  // namespace kelvora
