#include "session/session.h"

namespace quorvan::session {

const char* const kNameTexts[] = {
#define QUORVAN_TEXT_ENTRY(id, text) text,
    QUORVAN_SESSION_NAMES(QUORVAN_TEXT_ENTRY)
#undef QUORVAN_TEXT_ENTRY
};

static_assert(sizeof(kNameTexts) / sizeof(kNameTexts[0]) == kNameCount,
              "one text per session name");

}  // namespace quorvan::session
