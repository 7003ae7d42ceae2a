#pragma once
// Character-set conversions at the edges of the core: the core keeps GBK text,
// decoded and encoded as GB18030 so that characters outside GBK survive.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelvora {

// GBK (read as GB18030) to UTF-8. Undecodable bytes become U+FFFD.
std::string GbkToUtf8(std::string_view gbk);
// UTF-8 to GBK (written as GB18030). Invalid UTF-8 bytes become '?'.
std::string Utf8ToGbk(std::string_view utf8);
// UTF-16 code units (host order) to GBK; a lone surrogate becomes '?'.
std::string Utf16ToGbk(std::u16string_view utf16);
bool IsValidUtf8(std::string_view bytes);
// Where the first byte that does not belong to valid UTF-8 sits; npos when all do.
size_t FirstInvalidUtf8(std::string_view bytes);
// Length of the valid UTF-8 sequence at s[i] with its code point in `codePoint`;
// 0 when the bytes there are not UTF-8 (overlong forms and surrogates included).
size_t DecodeUtf8(std::string_view s, size_t i, uint32_t& codePoint);
void AppendUtf8(std::string& out, uint32_t codePoint);
// Any charset iconv knows to GBK; nullopt when iconv does not know `charset`.
std::optional<std::string> ConvertToGbk(std::string_view bytes, std::string_view charset);
// True for the names under which GBK text comes (any case): its bytes are the core's
// text as they are.
bool IsGbkCharset(std::string_view charset);
// True when every byte is below 0x80: such text reads the same in UTF-8 and GBK.
bool AllBytesAscii(std::string_view bytes);

}  // namespace kelvora
