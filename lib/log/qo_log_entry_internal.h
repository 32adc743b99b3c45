// One log entry, laid out in full before the log's lock is taken. Internal
// to the log.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdlib>

namespace qo_log_entry {

// "INFO: ", or "DBG<level>: <file>-><routine>#<line>: ", after the
// process and thread when the stamp flags ask for them.
class Header {
  public:
    Header(int level, int line, const char *file, const char *routine,
           unsigned stamps = 0) noexcept;
    size_t max_size() const noexcept;
    size_t write(char *start) const noexcept;

  private:
    int level_, line_;
    unsigned stamps_;
    const char *file_ = nullptr, *routine_ = nullptr;
    size_t file_size_ = 0, routine_size_ = 0;
};

// One entry, line feed included, built on the stack when it is short.
// When the stamp flags ask for a time, room is left before the header, and
// the time goes there once the log's lock is held: stamp_locked().
class Entry {
  public:
    // Left uncleared: an entry costs less than clearing the buffer would.
    // cppcheck-suppress uninitMemberVar
    Entry() noexcept = default;
    ~Entry() { release(); }
    Entry(const Entry &) = delete;
    Entry &operator=(const Entry &) = delete;

    // False when memory for a long entry ran out. stamps: the QO_LOG_
    // flags, which the header was made with too.
    [[gnu::format(printf, 3, 0)]] bool build(const Header &header, const char *format,
                                             va_list ap, unsigned stamps = 0) noexcept;
    // Puts the time before the header, as the flags ask.
    void stamp_locked() noexcept;

    const char *data() const noexcept { return data_ + start_; }
    size_t size() const noexcept { return end_ - start_; }
    // The message alone, without header, marks or line feed.
    const char *message() const noexcept { return data_ + message_at_; }
    size_t message_size() const noexcept { return message_size_; }
    // False when the message could not be formatted; the entry then
    // holds the header alone.
    bool printed() const noexcept { return printed_; }

  private:
    [[gnu::format(printf, 2, 0)]] bool format_any(const char *format,
                                                  va_list ap) noexcept;
    bool mark_continued() noexcept;
    bool move_to(size_t room, size_t keep) noexcept;
    void release() noexcept
    {
        if (data_ != stack_)
            free(data_);
    }

    static constexpr size_t short_entry = 1024; // built on the stack up to this
    char stack_[short_entry];
    char *data_ = stack_;
    size_t room_ = short_entry;
    size_t start_ = 0, front_ = 0, message_at_ = 0, message_size_ = 0, end_ = 0;
    unsigned stamps_ = 0;
    bool printed_ = true;
};

} // namespace qo_log_entry
