// The file a run's stdout writes: opened without being emptied, emptied
// only once the command is sure to start, or, with QO_RUN_REPLACE, a new
// file that takes the name only when the run succeeds.
#include "run/streams/qo_run_file_internal.h"
#include "base/qo_pid_word_internal.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace qo_run_file {

namespace {

// ---- New files still in the making, for qo_exit() ------------------------

// A fixed table, so that qo_exit() can read it in a signal handler: the
// folder and the name of each new file not yet renamed or removed, for
// the process that made it (a forked child inherits the table, and its
// parent's files are not its to remove). Beyond this many at once, a new
// file is left behind by qo_exit().
constexpr size_t tracked_files = 64;
constexpr uint64_t filling = 1, ready = 2; // the low half of owner

struct Tracked {
    std::atomic<uint64_t> owner; // pid << 32 | filling or ready; 0: free
    int folder;
    char name[name_room];
};
Tracked new_files[tracked_files];

uint64_t owned(uint64_t state) noexcept
{
    return qo_pid_word::make(uint32_t(state));
}

void remove_new_files() noexcept
{
    for (Tracked &t : new_files)
        if (t.owner.load() == owned(ready))
            unlinkat(t.folder, t.name, 0);
}

size_t track(int folder, const char *name) noexcept
{
    qo_err::at_exit(qo_err::ExitStage::before_message, remove_new_files);
    for (size_t i = 0; i < tracked_files; ++i) {
        uint64_t free_entry = 0;
        if (!new_files[i].owner.compare_exchange_strong(free_entry, owned(filling)))
            continue;
        new_files[i].folder = folder;
        memcpy(new_files[i].name, name, name_room);
        new_files[i].owner.store(owned(ready));
        return i + 1;
    }
    return 0;
}

void untrack(size_t &entry) noexcept
{
    if (entry)
        new_files[entry - 1].owner.store(0);
    entry = 0;
}

// The length of path's folder when that folder is not there, else 0: "No
// such file or directory" would leave the reader to guess which of the
// two is missing.
size_t missing_folder(const char *path) noexcept
{
    const char *slash = strrchr(path, '/');
    char folder[PATH_MAX];
    const size_t length = slash ? size_t(slash - path) : 0;
    if (length == 0 || length >= sizeof folder)
        return 0;
    memcpy(folder, path, length);
    folder[length] = '\0';
    struct stat st {};
    return stat(folder, &st) != 0 && errno == ENOENT ? length : 0;
}

// ---- Names and programs --------------------------------------------------

// ".name.XXXXXXXXXXXX" beside the file: hidden, telling whose it is, and
// unpredictable, so that nobody can lay a trap under it (it is created
// exclusively all the same).
std::atomic<uint64_t> names_made{0};

void new_name(char (&name)[name_room], const char *base) noexcept
{
    uint64_t bits = 0;
#ifdef SYS_getrandom
    if (syscall(SYS_getrandom, &bits, sizeof bits, 1 /* GRND_NONBLOCK */) !=
        static_cast<long>(sizeof bits))
#endif
        bits = uint64_t(qo_run::now_us()) * 0x9E3779B97F4A7C15U ^
               uint64_t(getpid()) << 40 ^ names_made.fetch_add(1) * 0xBF58476D1CE4E5B9U;
    constexpr char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    char random[13];
    for (size_t i = 0; i < 12; ++i, bits /= 36) // 36^12 < 2^64
        random[i] = digits[bits % 36];
    random[12] = '\0';
    snprintf(name, name_room, ".%.100s.%s", base, random);
}

// 0 when an exec would run path, found from folder.
int runnable(int folder, const char *path) noexcept
{
    struct stat st {};
    if (fstatat(folder, path, &st, 0) != 0)
        return errno;
    if (!S_ISREG(st.st_mode))
        return EACCES;
    return faccessat(folder, path, X_OK, AT_EACCESS) == 0 ? 0 : errno;
}

// As execvp searches: each entry of PATH (an empty one is the current
// folder); EACCES when a candidate was there but could not run.
int search_path(int folder, const char *name) noexcept
{
    const char *path = getenv("PATH"); // NOLINT(concurrency-mt-unsafe)
    if (!path)
        path = "/bin:/usr/bin";
    bool denied = false;
    for (const char *entry = path;; ++entry) {
        const size_t length = strcspn(entry, ":");
        char candidate[PATH_MAX];
        const int n =
            snprintf(candidate, sizeof candidate, "%.*s%s%s", static_cast<int>(length),
                     entry, length ? "/" : "", name);
        if (n > 0 && static_cast<size_t>(n) < sizeof candidate) {
            const int error = runnable(folder, candidate);
            if (error == 0)
                return 0;
            denied |= error == EACCES;
        }
        entry += length;
        if (!*entry)
            return denied ? EACCES : ENOENT;
    }
}

} // namespace

const char *refusal(const qo_run_options &o) noexcept
{
    if (!(o.flags & QO_RUN_REPLACE))
        return nullptr;
    if (!o.output_file)
        return "QO_RUN_REPLACE without an output_file: nothing to replace";
    if (o.flags & QO_RUN_APPEND)
        return "QO_RUN_REPLACE with QO_RUN_APPEND: a file replaced whole has "
               "nothing to append to";
    return nullptr;
}

// The command's folder is taken before its program is looked for: both
// must be there, and a relative name is found from that folder.
int find_program(const char *name, const char *dir) noexcept
{
    if (!*name)
        return ENOENT;
    int folder = AT_FDCWD;
    if (dir) {
        if (faccessat(AT_FDCWD, dir, X_OK, AT_EACCESS) != 0)
            return errno;
        folder = open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (folder < 0)
            return errno;
    }
    const int error =
        strchr(name, '/') ? runnable(folder, name) : search_path(folder, name);
    if (folder >= 0)
        close(folder);
    return error;
}

Output::Output(const qo_run_options &o) noexcept
    : path_(o.output_file), append_(o.flags & QO_RUN_APPEND),
      replace_(o.flags & QO_RUN_REPLACE)
{
}

Output::~Output()
{
    remove_new();
    qo_run::close_fd(fd_);
    qo_run::close_fd(folder_);
}

Failure Output::open(int &fd, const Site &site) noexcept
{
    if (!path_)
        return {};
    Failure failed = replace_ ? open_beside(site) : open_in_place();
    if (!failed.error) {
        fd = fcntl(fd_, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (fd < 0)
            failed.error = errno;
    }
    return failed;
}

// Without O_CREAT first, to know whether the file was there: a file this
// run creates goes again when the run does not start.
Failure Output::open_in_place() noexcept
{
    const int flags = O_WRONLY | O_CLOEXEC | (append_ ? O_APPEND : 0);
    fd_ = ::open(path_, flags);
    if (fd_ < 0 && errno == ENOENT) {
        fd_ = ::open(path_, flags | O_CREAT | O_EXCL, 0666);
        created_ = fd_ >= 0;
        if (fd_ < 0 && errno == EEXIST) // a link to a file not there yet
            fd_ = ::open(path_, flags | O_CREAT, 0666);
    }
    if (fd_ >= 0)
        return {};
    const int error = errno;
    return {error, "open", nullptr, error == ENOENT ? missing_folder(path_) : 0};
}

// The new file lives in the same folder, so that a rename gives it the
// name at once: a reader sees the old file or the new one, never a part.
Failure Output::open_beside(const Site &site) noexcept
{
    const char *slash = strrchr(path_, '/');
    base_ = slash ? slash + 1 : path_;
    if (!*base_)
        return {EISDIR, "replace"};
    if (!slash) {
        folder_ = ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    } else {
        const size_t length = slash == path_ ? 1 : size_t(slash - path_);
        char *folder = static_cast<char *>(qo_run::allocate(length + 1, site));
        memcpy(folder, path_, length);
        folder[length] = '\0';
        folder_ = ::open(folder, O_PATH | O_DIRECTORY | O_CLOEXEC);
        free(folder);
    }
    if (folder_ < 0 && errno == ENOENT)
        return {ENOENT, "replace", nullptr, missing_folder(path_)};
    if (folder_ < 0)
        return {errno, "replace"};
    struct stat st {};
    const bool exists = fstatat(folder_, base_, &st, 0) == 0;
    if (!exists && errno != ENOENT)
        return {errno, "replace"};
    if (exists && !S_ISREG(st.st_mode))
        return {EINVAL, "replace", "not a regular file"};
    return create_new(exists ? &st : nullptr);
}

// Created with 0666, as the file itself would be, so that the umask and a
// default ACL of the folder act on it alike; a file replaced keeps its
// permission bits. A folder that takes no new file (/proc, a read-only
// one) is told as such: the file named was never touched.
Failure Output::create_new(const struct stat *existing) noexcept
{
    // Tracked before it exists: a qo_exit() between the two would otherwise
    // leave it behind, while removing a name not yet made does nothing.
    for (int attempt = 0; fd_ < 0; ++attempt) {
        new_name(name_, base_);
        tracked_ = track(folder_, name_);
        fd_ = openat(folder_, name_, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ >= 0)
            break;
        const int error = errno;
        untrack(tracked_);
        if (error != EEXIST || attempt == 16) {
            name_[0] = '\0';
            return {error, "create a temporary file beside"};
        }
    }
    if (existing && fchmod(fd_, existing->st_mode & 0777) != 0)
        return {errno, "replace"};
    return {};
}

bool Output::has_content_to_empty() const noexcept
{
    struct stat st {};
    return fd_ >= 0 && !append_ && !replace_ && fstat(fd_, &st) == 0 &&
           S_ISREG(st.st_mode) && st.st_size > 0;
}

int Output::empty() const noexcept
{
    return ftruncate(fd_, 0) == 0 ? 0 : errno;
}

// A file this run created goes, if the path still leads to it.
void Output::abandon() noexcept
{
    remove_new();
    struct stat mine {};
    struct stat there {};
    if (created_ && fstat(fd_, &mine) == 0 && stat(path_, &there) == 0 &&
        mine.st_dev == there.st_dev && mine.st_ino == there.st_ino)
        unlink(path_);
    created_ = false;
}

int Output::finish(bool succeeded) noexcept
{
    if (!replace_ || fd_ < 0 || !name_[0])
        return 0;
    int error = 0;
    if (succeeded) {
        // A disk that fails to take the output fails the run: the old file
        // stays.
        const bool flushed = fsync(fd_) == 0 || errno == EINVAL;
        if (!flushed || renameat(folder_, name_, folder_, base_) != 0)
            error = errno;
        else
            name_[0] = '\0';
    }
    remove_new();
    return error;
}

// Untracked before the folder closes, so that qo_exit() never reads a
// descriptor that may be reused.
void Output::remove_new() noexcept
{
    untrack(tracked_);
    if (name_[0])
        unlinkat(folder_, name_, 0);
    name_[0] = '\0';
}

} // namespace qo_run_file
