#pragma once
// Progress and cancellation of a long computation. The general matrix inversions
// consult a context at every step and stop when it reports cancellation; cancel()
// may be called from another thread while a computation reads wasCanceled().

#include <memory>

namespace orvex {

class AnalysisContext {
public:
    AnalysisContext();
    virtual ~AnalysisContext();
    AnalysisContext(const AnalysisContext&) = delete;
    AnalysisContext& operator=(const AnalysisContext&) = delete;

    virtual bool wasCanceled() const;
    virtual void cancel();
    virtual int progress() const;
    virtual void incrementProgress();
    virtual void resetProgress();
    // Clears the cancel flag, then the progress counter.
    virtual void reset();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace orvex
