// The one table of sentences for the agent's exit statuses and the password
// store's codes. The caller's library names an exit status with it
// (kc_status_text, kc_describe), and keladm, which calls the store itself,
// names the store's codes with it; keladm links the library for this.
#pragma once

// A number of the contract (a plain macro) as the text of a sentence, so that
// no sentence repeats a number that has its name.
#define KC_TEXT_OF_(n) #n
#define KC_TEXT_OF(n) KC_TEXT_OF_(n)

// The sentence for an exit status as a caller sees it (0-255, KEL_ST_SEEN);
// null for a status the agent does not document.
const char *kcAgentStatusText(int seenStatus);

// The sentence for a code the password store returns (KEL_ST_STORE_REFUSED,
// KEL_ST_NO_MEMORY, KEL_ST_SHORT_WRITE, KEL_ST_LOCKED, KEL_ST_NO_PASSWORD);
// null for any other code.
const char *kcStoreCodeText(int code);
