#pragma once
// Colour names and the colour parser of the HTML units. Colours are $00BBGGRR.

#include "controls/KvWideStrings.h"

#include <cstdint>

class TKvCardinalHash;

// Reference-counted: the first init fills the colour table, the last done frees it.
void KvHtmlColorsInit();
void KvHtmlColorsDone();
// The table of the 140 colour keywords (names case-insensitive); nil when not
// initialised.
TKvCardinalHash* KvHtmlColorTable();

// A colour written as a name or as hex digits, with or without "#"; leading
// white space is skipped and only the first word counts. Any word that is not a
// name is read as hex (non-hex characters count as 0). False only for text
// without a word.
bool ColorFromHtml(const WideString& text, uint32_t& color);
