#pragma once
// Primitives on GBK byte text. Positions are 1-based byte positions, a failed
// search gives -1, and a match never starts on the trail byte of a double-byte
// character (a byte >= 0x80 starts a two-byte character).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelvora {

// 0-based position of the bytes `sought` in `text` at or after 0-based `from`, at
// any byte (trail bytes too); npos when absent. An empty `sought` is found at `from`.
size_t FindBytes(std::string_view text, std::string_view sought, size_t from = 0);
// Position of `sought` in `text` at or after byte `start` (values below 1 mean 1), or -1.
// An empty `sought` gives 1 when the searched part is not empty, else -1.
int Find(std::string_view text, std::string_view sought, int start = 1);
// Up to `count` bytes from 1-based `start`; empty when start < 1, start > length or count <= 0.
std::string Mid(std::string_view text, int start, int count);
std::string Left(std::string_view text, int n);
std::string Right(std::string_view text, int n);
// Every occurrence of `from`, left to right, without overlaps, only at character starts.
std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to = {});
// Removes ASCII blanks and full-width blanks (A1 A1) at both ends; tabs and line breaks stay.
std::string Trim(std::string_view text);
// The same, as a view into `text`.
std::string_view TrimView(std::string_view text);
// Pieces between separators; empty text gives none; an empty last piece is dropped.
std::vector<std::string> Split(std::string_view text, std::string_view separator);
// ASCII a-z to A-Z, double-byte characters untouched.
std::string Upper(std::string_view text);
// Full-width forms folded to ASCII, then the leading decimal number; 0 when none.
int32_t ToInt32(std::string_view text);
int64_t ToInt64(std::string_view text);
std::string NumberText(int64_t value);
// printf "%.13g".
std::string NumberText(double value);

// The text between the first `left` at or after `start` and the next `right` after it.
// Empty when either marker is missing.
std::string TextBetween(std::string_view text, std::string_view left, std::string_view right, int start = 1);
// %XX escapes to bytes; '+' stays '+'.
std::string PercentDecode(std::string_view text);
// \uXXXX escapes (surrogate pairs included) to GBK; other bytes copied.
std::string UnescapeJavaText(std::string_view text);
// Traditional Chinese characters to simplified ones, GBK in and out.
std::string TraditionalToSimplified(std::string_view text);
// A cell of a tab-separated line: backslash, TAB, CR and LF as \\, \t, \r, \n. UTF-8
// only: in GBK a backslash byte can be the second half of a character.
std::string EscapeTsvCell(const std::string& utf8);

}  // namespace kelvora
