// Shell words for lines the library shows (the log's command lines).
// Internal to the library.
#pragma once

namespace qo_str {

// word as one word a shell reads back as exactly word: itself when it holds
// only bytes a shell takes literally, else quoted as qo_shell_quote() does.
// first: the command's position, where "A=b" would read as an assignment.
// A fresh string, released with free().
char *shell_word(const char *word, bool first) noexcept;

} // namespace qo_str
