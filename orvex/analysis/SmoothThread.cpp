#include "orvex/analysis/SmoothThread.h"

#include "orvex/analysis/SeparableWindowFit.h"
#include "orvex/core/Logging.h"
#include "orvex/core/ParallelRows.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

namespace orvex {

namespace {

// Why the job cannot run safely (its block outside the split, fewer weights than its
// half window reaches or weights that are not symmetric, fewer inputs than outputs), or
// null when it can.
const char* jobFault(const SmoothThread& job) {
    if (job.count < 1 || job.index < 0 || job.index >= job.count)
        return "smoothing worker block outside its split";
    if (job.halfWindow < 0 || job.weights.size() < 2 * static_cast<std::size_t>(job.halfWindow) + 1)
        return "smoothing weights do not cover the window";
    const auto centre = job.weights.begin() + job.halfWindow;
    if (!std::equal(centre, centre + job.halfWindow + 1, std::make_reverse_iterator(centre + 1)))
        return "smoothing weights are not symmetric";
    if (job.inputs.size() < job.outputs.size())
        return "fewer smoothing inputs than outputs";
    return nullptr;
}

} // namespace

SmoothThread::SmoothThread(const Array1<float*>& outputs_, const Array1<float const*>& inputs_,
                           const float* mask_, const std::vector<double>& weights_, int columns_, int rows_,
                           int halfWindow_, int index_, int count_)
    : outputs(outputs_), inputs(inputs_), mask(mask_), weights(weights_), columns(columns_), rows(rows_),
      halfWindow(halfWindow_), index(index_), count(count_) {}

SmoothThread::~SmoothThread() { join(); }

void SmoothThread::start() {
    if (thread) {
        PLOGE << "There is already a thread running.";
        return;
    }
    thread = std::make_unique<std::thread>(&SmoothThread::run, this);
}

void SmoothThread::join() {
    if (!thread)
        return;
    if (thread->joinable()) thread->join();
    thread.reset();
}

void SmoothThread::run() {
    try {
        if (const char* fault = jobFault(*this))
            throw std::invalid_argument(fault);
        const std::pair<int, int> block = rowBlock(rows, index, count);
        if (block.first >= block.second || columns < 1 || outputs.empty())
            return;
        SeparableWindowFit(outputs, inputs, mask, weights, columns, rows, halfWindow).fitRows(block.first, block.second);
    } catch (...) {
        error = std::current_exception();
    }
}

} // namespace orvex
