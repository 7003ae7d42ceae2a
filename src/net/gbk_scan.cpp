#include "net/gbk_scan.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

inline bool InFilter(const uint64_t* filter, uint64_t word) {
  const size_t slot = FilterSlot(word);
  return (filter[slot / 64] >> (slot % 64)) & 1;
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

void FindEach(std::string_view text, std::span<const std::string_view> sought, std::span<size_t> at) {
  const size_t n = text.size();
  const char* data = text.data();
  size_t wanted = 0, longest = 0;
  for (size_t k = 0; k < sought.size(); ++k) {
    at[k] = std::string_view::npos;
    if (!sought[k].empty() && sought[k].size() <= n) {
      ++wanted;
      longest = std::max(longest, sought[k].size());
    }
  }
  auto isAt = [&](size_t k, size_t pos) {
    const std::string_view s = sought[k];
    return std::memcmp(data + pos, s.data(), s.size()) == 0 && IsCharacterStart(text, 0, pos);
  };
  size_t p = 0;
#if defined(__SSE2__)
  // Sixteen places at a time: a place where one of the texts' first bytes stands
  // before one of their second bytes may start one; only those are compared in
  // full. The few texts looked for together share a handful of such bytes.
  constexpr size_t kMaxBytes = 4;
  __m128i firsts[kMaxBytes], seconds[kMaxBytes];
  char firstBytes[kMaxBytes], secondBytes[kMaxBytes];
  size_t nFirst = 0, nSecond = 0;
  bool vectored = wanted > 0;
  auto note = [&](char c, char* list, __m128i* vectors, size_t& count) {
    if (std::find(list, list + count, c) != list + count) return;
    if (count == kMaxBytes) {
      vectored = false;
      return;
    }
    list[count] = c;
    vectors[count++] = _mm_set1_epi8(c);
  };
  for (size_t k = 0; k < sought.size() && vectored; ++k) {
    const std::string_view s = sought[k];
    if (s.empty() || s.size() > n) continue;
    if (s.size() < 2) vectored = false;
    note(s[0], firstBytes, firsts, nFirst);
    if (s.size() >= 2) note(s[1], secondBytes, seconds, nSecond);
  }
  for (; vectored && wanted > 0 && p + 17 <= n; p += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + p));
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + p + 1));
    __m128i first = _mm_cmpeq_epi8(block, firsts[0]), second = _mm_cmpeq_epi8(next, seconds[0]);
    for (size_t i = 1; i < nFirst; ++i) first = _mm_or_si128(first, _mm_cmpeq_epi8(block, firsts[i]));
    for (size_t i = 1; i < nSecond; ++i) second = _mm_or_si128(second, _mm_cmpeq_epi8(next, seconds[i]));
    for (auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(first, second))); mask != 0;
         mask &= mask - 1) {
      const size_t pos = p + static_cast<size_t>(__builtin_ctz(mask));
      for (size_t k = 0; k < sought.size(); ++k) {
        if (at[k] != std::string_view::npos || sought[k].empty() || sought[k].size() > n - pos || !isAt(k, pos))
          continue;
        at[k] = pos;
        --wanted;
      }
    }
  }
#endif
  // The rest (all of it without SSE2) one place at a time.
  for (size_t k = 0; k < sought.size() && wanted > 0; ++k) {
    const std::string_view s = sought[k];
    if (at[k] != std::string_view::npos || s.empty() || s.size() > n) continue;
    for (size_t pos = p; pos + s.size() <= n; ++pos) {
      if (data[pos] == s.front() && isAt(k, pos)) {
        at[k] = pos;
        --wanted;
        break;
      }
    }
  }
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
  std::vector<bool> result(markers_.size(), false);
  // Found flags as bytes: the checks below read them often.
  std::vector<unsigned char> found(markers_.size(), 0);
  size_t wanted = 0;
  for (size_t k = 0; k < markers_.size(); ++k) {
    if (sampled_[k])
      ++wanted;
    else if (!markers_[k].empty())
      result[k] = Find(text, markers_[k]) != -1;
  }
  if (wanted == 0 || text.size() < 8) return result;
  const char* data = text.data();
  const uint64_t* filter = filter_.data();
  const size_t last = text.size() - 8;
  // Samples no further apart than the shortest marker still wanted allows: the
  // gap widens as the short ones are found (a Tmall page's link comes first).
  size_t stride = stride_;
  // The text is read a block of samples at a time. The samples whose word is in
  // the filter are noted without a branch, as a branch per sample would guess
  // wrong at each one: pages of links hold pieces of the markers' addresses in a
  // few samples in a hundred.
  constexpr size_t kBlock = 128;
  size_t noted[kBlock];
  for (size_t p = 0; p <= last;) {
    const size_t samples = std::min(kBlock, (last - p) / stride + 1);
    size_t count = 0;
    for (size_t i = 0; i < samples; ++i, p += stride) {
      noted[count] = p;
      count += InFilter(filter, WordAt(data + p));
    }
    bool foundAny = false;
    for (size_t c = 0; c < count; ++c) {
      const size_t at0 = noted[c];
      const uint64_t word = WordAt(data + at0);
      const size_t b = BucketOf(FilterSlot(word));
      for (size_t i = buckets_[b]; i < buckets_[b + 1]; ++i) {
        const Piece& piece = pieces_[i];
        if (piece.word != word || at0 < piece.offset || found[piece.marker]) continue;
        // Links and script around a marker often share a word with it; its ends
        // tell most of them apart before the whole comparison.
        const size_t at = at0 - piece.offset;
        const std::string& m = markers_[piece.marker];
        if (m.size() > text.size() - at || WordAt(data + at) != first_[piece.marker] ||
            WordAt(data + at + m.size() - 8) != last_[piece.marker] ||
            std::memcmp(data + at, m.data(), m.size()) != 0 || !IsCharacterStart(text, 0, at))
          continue;
        found[piece.marker] = 1;
        result[piece.marker] = true;
        foundAny = true;
        if (--wanted == 0) return result;
      }
    }
    if (foundAny) {
      size_t shortest = 0;
      for (size_t k = 0; k < markers_.size(); ++k)
        if (sampled_[k] && !found[k] && (shortest == 0 || markers_[k].size() < shortest)) shortest = markers_[k].size();
      // The next sample stays where it was; only the gap after it widens.
      stride = shortest - 7;
    }
  }
  return result;
}

}  // namespace kelvora
