#include "orvex/core/AnalysisContext.h"

#include <atomic>
#include <cstdint>

namespace orvex {

struct AnalysisContext::Private {
    std::atomic<std::int32_t> progress{0};
    std::atomic<bool> canceled{false};
};

AnalysisContext::AnalysisContext() : d(std::make_unique<Private>()) {}

AnalysisContext::~AnalysisContext() = default;

bool AnalysisContext::wasCanceled() const { return d->canceled.load(); }

void AnalysisContext::cancel() { d->canceled.store(true); }

int AnalysisContext::progress() const { return d->progress.load(); }

void AnalysisContext::incrementProgress() { d->progress.fetch_add(1); }

void AnalysisContext::resetProgress() { d->progress.exchange(0); }

void AnalysisContext::reset() {
    d->canceled.store(false);
    d->progress.exchange(0);
}

} // namespace orvex
