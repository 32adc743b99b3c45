/* qo's string helpers: escaping, quoting, splitting, substitution,
 * trimming, the date. Part of <qo.h>. */
#ifndef QO_STRINGS_H
#define QO_STRINGS_H

#include "common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Strings ------------------------------------------------------------
 * Every char * returned here is a fresh heap string that the caller owns
 * and releases with qo_free(). Memory exhaustion ends the process. */

/* Copy input with each byte found in specials preceded by escape. The quote
 * byte, when specials holds it, is written as quote escape quote quote, so
 * that it closes the quoted text, is escaped, and reopens it: with quote '
 * and escape \, "it's" becomes "it'\''s". Text with none of the specials
 * comes back as an identical copy. */
QO_API char *qo_stresc(const char *input, const char *specials, char escape,
                       char quote) QO_NOEXCEPT;

/* The next token of input, or NULL when the split is over. *cursor holds
 * the byte offset to go on from: start it at 0; it is set back to 0 when
 * NULL is returned. Runs of separators before a token are skipped. One
 * trailing separator ends the split ("a,b," gives "a", "b", then NULL);
 * two or more give one last empty token: "a,b,," splits into "a", "b", ""
 * and then NULL. A NULL input or separators, a negative cursor or
 * one at or past the end gives NULL; so does a NULL cursor. Pass only 0 or a
 * cursor that an earlier call on the same input left: past the end, only
 * length + 1 is checked without reading beyond the text. The cursor is an
 * int, so texts of up to INT_MAX - 1 bytes split whole; a token that ends
 * at byte INT_MAX or beyond ends the process ("qo_strtok: text too long for
 * the cursor") rather than give a wrong split. */
QO_API char *qo_strtok(const char *input, const char *separators,
                       int *cursor) QO_NOEXCEPT;

/* Quote input as one shell word that any POSIX shell reads back as exactly
 * input, whatever bytes it holds: wrapped in single quotes, each single
 * quote written as '\'' ; "" gives ''. Prefer it to qo_stresc() for
 * anything headed to qo_system(). */
QO_API char *qo_shell_quote(const char *input) QO_NOEXCEPT;

/* Copy input with the first occurrence of token replaced by replacement;
 * an input without token comes back as an unchanged copy. An empty token
 * matches at the start. */
QO_API char *qo_str_substitute(const char *input, const char *token,
                               const char *replacement) QO_NOEXCEPT;

/* Remove, in place, the bytes 0x01-0x20 (blank, tab, line feed and the
 * other control bytes) at both ends of text. Bytes 0x7F-0xFF are kept:
 * "\tcafe\xCC\x81 " becomes "cafe\xCC\x81". NULL is accepted. */
QO_API void qo_strip_spaces(char *text) QO_NOEXCEPT;

/* The current local time as ctime() writes it: 24 characters and a line
 * feed, in the C library's static buffer. Do not release it; the next call
 * overwrites it. */
QO_API const char *qo_date(void) QO_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* QO_STRINGS_H */
