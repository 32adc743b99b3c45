/* qo's fatal exit. Part of <qo.h>. */
#ifndef QO_EXIT_H
#define QO_EXIT_H

#include "common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Fatal exit ---------------------------------------------------------
 * Runs qo_exit_hook (once, even if the hook itself ends up in qo_exit),
 * prints message and a line feed on standard error when message is not
 * NULL, closes the log and exits with status (-1 reaches the parent as 255;
 * so does any other non-zero status whose low byte is 0, such as 256, which
 * would otherwise read as success).
 *
 * The first thread to call it runs the hook to its end and exits with its
 * own status; other threads calling it meanwhile wait for that end. A
 * child forked meanwhile ends on its own, leaving the hook to its parent.
 * It may be called from a signal handler, even one that interrupted
 * qo_log() in the same thread: the entry being written may then be lost,
 * no other. The hook runs in the handler too, so it must be fit for that;
 * and so, through exit(), do the application's atexit() handlers and the
 * destructors of its static objects. A closed standard error (a reader
 * that has gone) loses the message, not the status nor the log. A stuck
 * log (see above) holds up the end for 2 seconds at most: the failure's
 * entry, or the log's flush, gives up then.
 *
 * The end never hangs: exit() gets 2 seconds, counted by a thread of the
 * library's that takes no signal and changes no timer (the program's
 * alarm(), timers and SIGALRM handler go on through its atexit() handlers),
 * after which, or at once from a handler that interrupted fork() or
 * pthread_atfork() in its thread, where exit() would wait for a lock its
 * own thread holds, the process ends with _exit() and the same status.
 * The hook has run, the message is out and the log is closed then; the
 * atexit() handlers, static destructors and the flush of stdio streams
 * (stdout) do not run.
 */
typedef void (*qo_exit_hook_fn)(int status, const char *message);
QO_API extern qo_exit_hook_fn qo_exit_hook;

QO_API QO_NORETURN void qo_exit(int status, const char *message) QO_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* QO_EXIT_H */
