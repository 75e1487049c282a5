#pragma once
// A minimal logger: severities, one logger instance with a maximum severity and
// a list of appenders, and a console appender that prints the message text only.
//
//   PLOGW << "text";   // a warning record, built only when warnings are enabled

#include <atomic>
#include <cstdint>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace plog {

enum Severity { none = 0, fatal = 1, error = 2, warning = 3, info = 4, debug = 5, verbose = 6 };

// One log record: what was logged, where and when.
class Record {
public:
    Record(Severity severity, const char* func, std::size_t line);

    Severity getSeverity() const { return severity_; }
    const char* getFunc() const { return func_; }
    const char* getFile() const { return ""; }
    std::size_t getLine() const { return line_; }
    std::uint32_t getTid() const { return tid_; }
    std::int64_t getTimeSeconds() const { return seconds_; }
    int getTimeMilliseconds() const { return milliseconds_; }
    std::string getMessage() const { return message_.str(); }

    Record& ref() { return *this; }

    template <typename T>
    Record& operator<<(const T& value) {
        message_ << value;
        return *this;
    }
    // A null C string prints as "(null)".
    Record& operator<<(const char* text);
    Record& operator<<(char* text) { return *this << static_cast<const char*>(text); }

private:
    Severity severity_;
    const char* func_;
    std::size_t line_;
    std::uint32_t tid_;
    std::int64_t seconds_;
    int milliseconds_;
    std::ostringstream message_;
};

class IAppender {
public:
    virtual ~IAppender() = default;
    virtual void write(const Record& record) = 0;
};

// Formats a record as its message text and a newline.
struct MessageOnlyFormatter {
    static std::string format(const Record& record) { return record.getMessage() + "\n"; }
};

// Writes formatted records to standard error; one write at a time.
template <class Formatter>
class ConsoleAppender : public IAppender {
public:
    void write(const Record& record) override;

private:
    std::mutex mutex_;
};

// The logger instance `instance`: a maximum severity and the appenders that receive records.
template <int instance>
class Logger : public IAppender {
public:
    explicit Logger(Severity maxSeverity) : maxSeverity_(maxSeverity) {}

    bool checkSeverity(Severity severity) const {
        return severity <= maxSeverity_.load(std::memory_order_relaxed);
    }
    Severity getMaxSeverity() const { return maxSeverity_.load(std::memory_order_relaxed); }
    void setMaxSeverity(Severity severity) { maxSeverity_.store(severity, std::memory_order_relaxed); }

    // Adds the appender unless it is already attached; null is ignored.
    Logger& addAppender(IAppender* appender);
    std::size_t appenderCount() const;

    void write(const Record& record) override;
    void operator+=(const Record& record) { write(record); }

private:
    std::atomic<Severity> maxSeverity_;
    mutable std::mutex appendersMutex_;
    std::vector<IAppender*> appenders_;
};

// The logger instance, or null before it has been initialised.
template <int instance>
Logger<instance>* get();

// Creates the logger on first use (later calls keep its severity) and attaches the appender.
template <int instance>
Logger<instance>& init(Severity maxSeverity, IAppender* appender);

// The library has the one logger instance 0.
template <>
Logger<0>* get<0>();
template <>
Logger<0>& init<0>(Severity maxSeverity, IAppender* appender);

} // namespace plog

#define PLOG_(instance, severity)                                                      \
    if (!plog::get<instance>() || !plog::get<instance>()->checkSeverity(severity)) {   \
    } else                                                                             \
        (*plog::get<instance>()) += plog::Record(severity, __PRETTY_FUNCTION__, __LINE__).ref()

#define PLOG(severity) PLOG_(0, severity)
#define PLOGF PLOG(plog::fatal)
#define PLOGE PLOG(plog::error)
#define PLOGW PLOG(plog::warning)
#define PLOGI PLOG(plog::info)
#define PLOGD PLOG(plog::debug)
#define PLOGV PLOG(plog::verbose)

// Installs the library's logger with one console appender on standard error that
// prints message text only. Calling it again adds no second appender.
void init_plog_all_statically_message_only_console_cerr(plog::Severity maxSeverity);

// Installs the library's logger with the caller's appender (none when null). The
// caller keeps ownership; the appender must outlive all logging.
void init_plog_h_core(plog::Severity maxSeverity, plog::IAppender* appender);
