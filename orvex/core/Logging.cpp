#include "orvex/core/Logging.h"

#include <algorithm>
#include <chrono>
#include <iostream>

#include <sys/syscall.h>
#include <unistd.h>

namespace plog {

Record::Record(Severity severity, const char* func, std::size_t line)
    : severity_(severity), func_(func), line_(line),
      tid_(static_cast<std::uint32_t>(::syscall(SYS_gettid))) {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count();
    seconds_ = millis / 1000;
    milliseconds_ = static_cast<int>(millis % 1000);
}

Record& Record::operator<<(const char* text) {
    message_ << (text ? text : "(null)");
    return *this;
}

template <class Formatter>
void ConsoleAppender<Formatter>::write(const Record& record) {
    const std::string line = Formatter::format(record);
    std::lock_guard<std::mutex> lock(mutex_);
    std::cerr << line;
    std::cerr.flush();
}
template class ConsoleAppender<MessageOnlyFormatter>;

template <int instance>
Logger<instance>& Logger<instance>::addAppender(IAppender* appender) {
    std::lock_guard<std::mutex> lock(appendersMutex_);
    if (appender && std::find(appenders_.begin(), appenders_.end(), appender) == appenders_.end())
        appenders_.push_back(appender);
    return *this;
}

template <int instance>
std::size_t Logger<instance>::appenderCount() const {
    std::lock_guard<std::mutex> lock(appendersMutex_);
    return appenders_.size();
}

template <int instance>
void Logger<instance>::write(const Record& record) {
    if (!checkSeverity(record.getSeverity()))
        return;
    std::lock_guard<std::mutex> lock(appendersMutex_);
    for (IAppender* appender : appenders_)
        appender->write(record);
}

namespace {
std::atomic<Logger<0>*> theLogger{nullptr};
std::mutex initMutex;
} // namespace

template <>
Logger<0>* get<0>() {
    return theLogger.load(std::memory_order_acquire);
}

template <>
Logger<0>& init<0>(Severity maxSeverity, IAppender* appender) {
    std::lock_guard<std::mutex> lock(initMutex);
    static Logger<0> logger(maxSeverity); // lives until process exit
    theLogger.store(&logger, std::memory_order_release);
    return logger.addAppender(appender);
}

template class Logger<0>;

} // namespace plog

void init_plog_all_statically_message_only_console_cerr(plog::Severity maxSeverity) {
    static plog::ConsoleAppender<plog::MessageOnlyFormatter> consoleAppender;
    plog::init<0>(maxSeverity, &consoleAppender);
    PLOGI << "Init plog";
}

void init_plog_h_core(plog::Severity maxSeverity, plog::IAppender* appender) {
    plog::init<0>(maxSeverity, appender);
    PLOGI << "Init plog";
}
