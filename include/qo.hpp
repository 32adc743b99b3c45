// qo for C++: the C API of qo.h with value types and the caller's call site
// taken without a macro. Header-only: programs link the same libqo as C
// programs, and the library itself needs no C++ runtime.
//
// C++17 and later. Nothing here throws (a -fno-exceptions build works),
// but for what a callback given to qo::run throws itself, which comes out
// of qo::run (of a held job's wait()) once the command has ended: what
// ends the process in C ends it here, and so does a std::string_view
// argument holding a NUL byte, which C could never have been given
// ("qo::shell_quote: NUL byte in input"), with a level-1 log line naming
// the caller's file and line, as C names its call site.
//
// The caller's call site: a defaulted std::source_location where the
// library has it (C++20), the __builtin_FILE() family of GCC and Clang
// before. The routine in a log entry is what the compiler calls the
// function: "main" from the builtins, the signature ("int main()") from
// std::source_location with GCC.
//
// Formats: from C++20 a printf format given to qo::log or qo::format is
// checked against its arguments while compiling, and a mismatch, an
// unknown conversion or a wrong count is an error. %n and positional
// arguments (%1$d) are refused. In C++17 the format goes unchecked. A
// std::string argument passes as its c_str(); a std::string_view does not
// pass (it has no NUL to end it): give "%.*s" its size and data.
//
// This file is the table of contents: the interface is in the parts under
// qo/, each of which includes the ones it builds on, in this order. The
// *_detail.hpp, format.hpp and callbacks.hpp parts are the machinery: texts
// to and from C, format checking, the callables run_options takes, the run
// and job plumbing.
#ifndef QO_HPP
#define QO_HPP

#include "qo/base.hpp"        // qo::call_site, qo::text
#include "qo/text_detail.hpp" // texts to and from C
#include "qo/format.hpp"      // qo::format_string: formats checked while compiling
#include "qo/text.hpp"        // qo::log, qo::format, the string helpers
#include "qo/words.hpp"       // qo::strip, qo::words, qo::lines, qo::join
#include "qo/callbacks.hpp"   // qo::line, qo::line_callback, qo::input_callback
#include "qo/options.hpp"     // qo::run_options, qo::run_result
#include "qo/run_detail.hpp"  // argv, stages and options as C takes them
#include "qo/run.hpp"         // qo::run, qo::pipeline, qo::job
#include "qo/job_set.hpp"     // qo::job_set: which held job ended

#endif // QO_HPP
