#pragma once
// Collects the library's log records for tests that check failure messages.

#include "orvex/core/Logging.h"

#include <string>
#include <utility>
#include <vector>

namespace orvex::testing {

class LogCapture : public plog::IAppender {
public:
    // The one capture of this process, attached to the library logger at verbose.
    static LogCapture& instance() {
        static LogCapture capture;
        init_plog_h_core(plog::verbose, &capture);
        plog::get<0>()->setMaxSeverity(plog::verbose);
        return capture;
    }
    // The instance, with what it captured so far dropped.
    static LogCapture& emptied() {
        LogCapture& capture = instance();
        capture.take();
        return capture;
    }

    void write(const plog::Record& record) override {
        messages.push_back(record.getMessage());
        severities.push_back(record.getSeverity());
        functions.push_back(record.getFunc());
    }
    // The messages since the last call.
    std::vector<std::string> take() {
        severities.clear();
        functions.clear();
        return std::exchange(messages, {});
    }

    std::vector<std::string> messages;
    std::vector<plog::Severity> severities; // of the messages, in order
    std::vector<std::string> functions;     // the logging functions' signatures, in order

private:
    LogCapture() = default;
};

} // namespace orvex::testing
