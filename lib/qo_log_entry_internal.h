// One log entry, laid out in full before the log's lock is taken. Internal
// to the log.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdlib>

namespace qo_log_entry {

// "INFO: ", or "DBG<level>: <file>-><routine>#<line>: ".
class Header {
  public:
    Header(int level, int line, const char *file, const char *routine) noexcept;
    size_t max_size() const noexcept;
    size_t write(char *start) const noexcept;

  private:
    int level_, line_;
    const char *file_ = nullptr, *routine_ = nullptr;
    size_t file_size_ = 0, routine_size_ = 0;
};

// One entry, line feed included, built on the stack when it is short.
class Entry {
  public:
    // Left uncleared: an entry costs less than clearing the buffer would.
    // cppcheck-suppress uninitMemberVar
    Entry() noexcept = default;
    ~Entry() { release(); }
    Entry(const Entry &) = delete;
    Entry &operator=(const Entry &) = delete;

    // False when memory for a long entry ran out.
    [[gnu::format(printf, 3, 0)]] bool build(const Header &header, const char *format,
                                             va_list ap) noexcept;

    const char *data() const noexcept { return data_; }
    size_t size() const noexcept { return size_; }
    // False when the message could not be formatted; the entry then
    // holds the header alone.
    bool printed() const noexcept { return printed_; }

  private:
    [[gnu::format(printf, 4, 0)]] bool format_any(size_t head, size_t room,
                                                  const char *format, va_list ap,
                                                  size_t &message) noexcept;
    bool move_to(char *heap, size_t keep) noexcept;
    void release() noexcept
    {
        if (data_ != stack_)
            free(data_);
    }

    static constexpr size_t short_entry = 1024; // built on the stack up to this
    char stack_[short_entry];
    char *data_ = stack_;
    size_t size_ = 0;
    bool printed_ = true;
};

} // namespace qo_log_entry
