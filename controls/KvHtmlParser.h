#pragma once
// The HTML tokenizer and the tag, attribute and entity tables it looks names
// up in.

#include "controls/KvWideStrings.h"

#include <cstdint>

class TKvCardinalHash;
class TKvWideStringHash;

// --- Tables ---------------------------------------------------------------------------

// Tag ids the tokenizer acts on.
enum : uint32_t {
    kvTagMETA = 70,
    kvTagPRE = 81,
    kvTagSCRIPT = 86,
    kvTagSTYLE = 93,
    kvTagTITLE = 103,
    kvTagDYNAMIC = 1421,
};
// Attribute ids the tokenizer acts on.
enum : uint32_t {
    kvAttrCONTENT = 33,
    kvAttrHTTP_EQUIV = 55,
    kvAttrLANGUAGE = 60,
    kvAttrTYPE = 120,
};

// Reference-counted: the first init fills the tables (tags, DYNAMIC,
// attributes, entities, then the colours), the last done frees them. The unit
// initialises itself at program start and finishes at its end.
void KvHtmlTablesInit();
void KvHtmlTablesDone();
// Nil while not initialised. Tag and attribute names are case-insensitive,
// entity names exact; an entity's item is a one-character WideString.
TKvCardinalHash* KvHtmlTagTable();
TKvCardinalHash* KvHtmlAttribTable();
TKvWideStringHash* KvHtmlEntityTable();
// Id of a name, 0 when unknown.
uint32_t KvHtmlTagID(const char16_t* buf, int32_t len);
uint32_t KvHtmlAttribID(const char16_t* buf, int32_t len);
// The character of an entity name; false when unknown.
bool KvHtmlEntityChar(const char16_t* buf, int32_t len, char16_t& c);
