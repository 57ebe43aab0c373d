#include "session/session.h"

namespace quorvan::session {

const char* const kNameTexts[] = {
#define QUORVAN_TEXT_ENTRY(id, text) text,
    QUORVAN_SESSION_NAMES(QUORVAN_TEXT_ENTRY)
#undef QUORVAN_TEXT_ENTRY
};

static_assert(sizeof(kNameTexts) / sizeof(kNameTexts[0]) == kNameCount,
              "one text per session name");

const int kKeywordNames[] = {
#define QUORVAN_KEYWORD_ENTRY(id, keyword) name::keyword,
    QUORVAN_SESSION_KEYWORDS(QUORVAN_KEYWORD_ENTRY)
#undef QUORVAN_KEYWORD_ENTRY
};

static_assert(sizeof(kKeywordNames) / sizeof(kKeywordNames[0]) == kKeywordCount,
              "one name per keyword tuple");

}  // namespace quorvan::session
