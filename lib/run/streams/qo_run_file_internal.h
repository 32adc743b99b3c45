// The file a run's stdout writes. It is opened without being emptied, so
// that a run that does not start loses nothing, and emptied only once the
// command that writes it is about to start and its program is found; with
// QO_RUN_REPLACE the output goes to a new file beside it, which takes its
// name only when the whole run succeeds. Internal to the library.
#pragma once

#include "run/base/qo_run_base_internal.h"

#include <cstddef>
#include <sys/stat.h>

namespace qo_run_file {

using qo_run::Site;

// Room for the new file's name: a dot, at most 100 bytes of the file's own
// name, a dot, 12 random characters.
constexpr size_t name_room = 128;

// Why the file could not be had: the errno, what could not be done to it
// ("open", "replace", "create a temporary file beside"), and a cause to
// show instead of strerror(error), or the length of the file's folder
// (the first bytes of its path) when that folder is not there.
struct Failure {
    int error = 0;
    const char *step = "open";
    const char *cause = nullptr;
    size_t missing_folder = 0;
};

// What the options ask for that cannot be done, as the whole reason; or
// NULL.
const char *refusal(const qo_run_options &o) noexcept;

// 0 when an exec of name would find a program to run (searched in the
// caller's PATH when it has no slash, from dir when there is one), else
// the errno it would fail with.
int find_program(const char *name, const char *dir) noexcept;

class Output {
  public:
    explicit Output(const qo_run_options &o) noexcept;
    ~Output();
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;

    // Opens (or creates) the file, or creates the new one beside it; fd
    // receives a descriptor for the command, above 0-2 and close-on-exec.
    // Nothing to do without an output_file.
    Failure open(int &fd, const Site &site) noexcept;
    // True when starting the command that writes the file must empty it:
    // a regular file, not appended to or replaced, that holds something.
    bool has_content_to_empty() const noexcept;
    // Empties it; 0 or the errno.
    int empty() const noexcept;
    // The run did not start: what open() created goes.
    void abandon() noexcept;
    // The run is over. With QO_RUN_REPLACE, the new file takes the name
    // when succeeded (flushed to disk first), else it goes; 0, or the errno
    // that kept it from taking the name (it goes then too).
    int finish(bool succeeded) noexcept;

  private:
    Failure open_in_place() noexcept;
    Failure open_beside(const Site &site) noexcept;
    Failure create_new(const struct stat *existing) noexcept;
    void remove_new() noexcept;

    const char *path_;
    bool append_, replace_;
    int fd_ = -1;
    bool created_ = false; // by open_in_place(): no file was there
    // QO_RUN_REPLACE: the folder, the name in it and the new file's name.
    int folder_ = -1;
    const char *base_ = nullptr;
    char name_[name_room] = {};
    size_t tracked_ = 0; // its entry for qo_exit(), plus one; 0: none
};

} // namespace qo_run_file
