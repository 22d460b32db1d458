#pragma once
// Decoding of the translator's stored texts. A text list keeps "=", CR, LF
// and "#" as "#" codes, and, where its writer used them, the pipe codes.
// The text conversions the translator needs are those of platform/UnicodeU.h.

#include <string>
#include <string_view>

// One left-to-right pass: "#61" -> "=", "#13" -> CR, "#10" -> LF, "#35" ->
// "#"; with the pipe flag also "|s" -> "|", "|d" -> CR, "|a" -> LF. What a
// code produced is never read again, so a stored "|sd" (the text "|d") stays
// "|d" and "#3561" (the text "#61") stays "#61". Anything else is kept.
std::string DecodeStoredText(std::string_view Text);

// The process-wide pipe flag, off at start.
void SetPipeDecoding(bool On) noexcept;
bool PipeDecoding() noexcept;
