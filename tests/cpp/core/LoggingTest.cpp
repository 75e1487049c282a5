#include "orvex/core/Logging.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

struct MemoryAppender : plog::IAppender {
    std::vector<std::string> messages;
    std::vector<std::string> functions;
    void write(const plog::Record& record) override {
        messages.push_back(record.getMessage());
        functions.push_back(record.getFunc());
    }
};

void logWarning() { PLOGW << "careful " << 42; }

} // namespace

// One process-wide logger: the cases below run in order within one test.
TEST(Logging, SetUpSeverityAppendersAndConsoleOutput) {
    EXPECT_EQ(plog::get<0>(), nullptr);
    logWarning(); // no logger yet: dropped

    testing::internal::CaptureStderr();
    init_plog_all_statically_message_only_console_cerr(plog::error);
    PLOGW << "hidden warning";
    PLOGE << "shown error";
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "shown error\n");

    // A second set-up keeps the first severity and adds no second console appender.
    init_plog_all_statically_message_only_console_cerr(plog::verbose);
    EXPECT_EQ(plog::get<0>()->getMaxSeverity(), plog::error);
    EXPECT_EQ(plog::get<0>()->appenderCount(), 1u);

    static MemoryAppender memory; // stays attached to the process-wide logger
    init_plog_h_core(plog::debug, &memory);
    init_plog_h_core(plog::debug, &memory);
    init_plog_h_core(plog::debug, nullptr);
    EXPECT_EQ(plog::get<0>()->appenderCount(), 2u);

    plog::get<0>()->setMaxSeverity(plog::info);
    testing::internal::CaptureStderr();
    init_plog_all_statically_message_only_console_cerr(plog::info);
    logWarning();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Init plog\ncareful 42\n");
    ASSERT_EQ(memory.messages.size(), 2u);
    EXPECT_EQ(memory.functions[0], "void init_plog_all_statically_message_only_console_cerr(plog::Severity)");
    EXPECT_EQ(memory.functions[1], "void {anonymous}::logWarning()");

    // Records from many threads come out as whole lines.
    testing::internal::CaptureStderr();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] { for (int i = 0; i < 50; ++i) PLOGE << "line-of-text"; });
    for (auto& thread : threads)
        thread.join();
    const std::string output = testing::internal::GetCapturedStderr();
    std::string expected;
    for (int i = 0; i < 200; ++i)
        expected += "line-of-text\n";
    EXPECT_EQ(output, expected);

    plog::get<0>()->setMaxSeverity(plog::error);
    const char* nothing = nullptr;
    testing::internal::CaptureStderr();
    PLOGE << nothing;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "(null)\n");
}
