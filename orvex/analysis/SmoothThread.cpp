#include "orvex/analysis/SmoothThread.h"

#include "orvex/analysis/AddScaled.h"
#include "orvex/core/ParallelRows.h"
#include "orvex/core/Decompositions.h"
#include "orvex/core/FixedMatrix.h"
#include "orvex/core/Logging.h"

#include <algorithm>
#include <stdexcept>

namespace orvex {

namespace {

// The window sums and fits of one worker's rows; all buffers are allocated once.
//
// Pass along a row (per row y, column c, with valid-masked values v):
//   m_a(y, c) = Σ_dx g(dx)·dxᵃ·valid(y, c+dx)   for a = 0, 1, 2
//   s_a(y, c) = Σ_dx g(dx)·dxᵃ·v(y, c+dx)       for a = 0, 1, per field
// Pass down the columns (per output row r):
//   M = [[Σg·m₀, Σg·m₁, Σg·dy·m₀], [·, Σg·m₂, Σg·dy·m₁], [·, ·, Σg·dy²·m₀]]
//   b = (Σg·s₀, Σg·s₁, Σg·dy·s₀)    with g = g(dy), summed over dy and taken at row r + dy.
// The row sums of the last 2h + 1 rows are kept in a ring of row slots.
class SeparableWindowFit {
public:
    explicit SeparableWindowFit(const SmoothThread& job)
        : job_(job),
          fields_(static_cast<int>(job.outputs.size())),
          columns_(job.columns),
          hx_(std::min(job.halfWindow, job.columns - 1)),
          hy_(std::min(job.halfWindow, job.rows - 1)),
          slots_(std::min(2 * hy_ + 1, job.rows)),
          rowQuantities_(3 + 2 * fields_),
          paddedWidth_(static_cast<std::size_t>(columns_) + 2 * static_cast<std::size_t>(hx_)),
          padded_(static_cast<std::size_t>(1 + fields_) * paddedWidth_, 0.0),
          ring_(static_cast<std::size_t>(slots_) * rowQuantities_ * columns_),
          sums_(static_cast<std::size_t>(6 + 3 * fields_) * columns_) {}

    void smoothRows(int begin, int end) {
        int nextRowSum = std::max(0, begin - hy_);
        for (int row = begin; row < end; ++row) {
            const int lastNeeded = std::min(job_.rows - 1, row + hy_);
            while (nextRowSum <= lastNeeded) sumAlongRow(nextRowSum++);
            if (!rowHasValidPoint(row))
                continue;
            sumDownColumns(row);
            fitRow(row);
        }
    }

private:
    bool valid(std::size_t p) const { return job_.mask[p] >= 0.0f; }

    std::size_t pointIndex(int row, int column) const {
        return static_cast<std::size_t>(row) * columns_ + column;
    }

    bool rowHasValidPoint(int row) const {
        for (int c = 0; c < columns_; ++c)
            if (valid(pointIndex(row, c))) return true;
        return false;
    }

    double* paddedRow(int q) { return &padded_[static_cast<std::size_t>(q) * paddedWidth_]; }
    double* ringRow(int row, int q) {
        return &ring_[(static_cast<std::size_t>(row % slots_) * rowQuantities_ + q) * columns_];
    }
    double* sum(int q) { return &sums_[static_cast<std::size_t>(q) * columns_]; }

    void sumAlongRow(int row) {
        // Validity and masked values, with hx zeros on both sides standing for the
        // points outside the grid.
        double* validity = paddedRow(0) + hx_;
        for (int c = 0; c < columns_; ++c) validity[c] = valid(pointIndex(row, c)) ? 1.0 : 0.0;
        for (int k = 0; k < fields_; ++k) {
            double* values = paddedRow(1 + k) + hx_;
            const float* input = job_.inputs[k] + pointIndex(row, 0);
            for (int c = 0; c < columns_; ++c)
                values[c] = validity[c] != 0.0 ? static_cast<double>(input[c]) : 0.0;
        }
        for (int q = 0; q < rowQuantities_; ++q) std::fill_n(ringRow(row, q), columns_, 0.0);
        for (int dx = -hx_; dx <= hx_; ++dx) {
            const double g0 = job_.weights[job_.halfWindow + dx];
            const double g1 = g0 * dx;
            const double g2 = g1 * dx;
            const double* shiftedValidity = paddedRow(0) + hx_ + dx;
            addScaled(ringRow(row, 0), g0, shiftedValidity, columns_);
            addScaled(ringRow(row, 1), g1, shiftedValidity, columns_);
            addScaled(ringRow(row, 2), g2, shiftedValidity, columns_);
            for (int k = 0; k < fields_; ++k) {
                const double* shiftedValues = paddedRow(1 + k) + hx_ + dx;
                addScaled(ringRow(row, 3 + 2 * k), g0, shiftedValues, columns_);
                addScaled(ringRow(row, 4 + 2 * k), g1, shiftedValues, columns_);
            }
        }
    }

    void sumDownColumns(int row) {
        std::fill(sums_.begin(), sums_.end(), 0.0);
        const int first = std::max(-hy_, -row);
        const int last = std::min(hy_, job_.rows - 1 - row);
        for (int dy = first; dy <= last; ++dy) {
            const double g0 = job_.weights[job_.halfWindow + dy];
            const double g1 = g0 * dy;
            const double g2 = g1 * dy;
            const int source = row + dy;
            addScaled(sum(0), g0, ringRow(source, 0), columns_); // Σ wt
            addScaled(sum(1), g0, ringRow(source, 1), columns_); // Σ wt·dx
            addScaled(sum(2), g1, ringRow(source, 0), columns_); // Σ wt·dy
            addScaled(sum(3), g0, ringRow(source, 2), columns_); // Σ wt·dx²
            addScaled(sum(4), g1, ringRow(source, 1), columns_); // Σ wt·dx·dy
            addScaled(sum(5), g2, ringRow(source, 0), columns_); // Σ wt·dy²
            for (int k = 0; k < fields_; ++k) {
                addScaled(sum(6 + 3 * k), g0, ringRow(source, 3 + 2 * k), columns_); // Σ wt·v
                addScaled(sum(7 + 3 * k), g0, ringRow(source, 4 + 2 * k), columns_); // Σ wt·v·dx
                addScaled(sum(8 + 3 * k), g1, ringRow(source, 3 + 2 * k), columns_); // Σ wt·v·dy
            }
        }
    }

    void fitRow(int row) {
        for (int c = 0; c < columns_; ++c) {
            const std::size_t p = pointIndex(row, c);
            if (!valid(p))
                continue;
            Matrix3x3 M{sum(0)[c], sum(1)[c], sum(2)[c],
                        sum(1)[c], sum(3)[c], sum(4)[c],
                        sum(2)[c], sum(4)[c], sum(5)[c]};
            if (!invertSymmetricMatrix(M))
                continue;
            for (int k = 0; k < fields_; ++k) {
                const double a = M(0, 0) * sum(6 + 3 * k)[c] + M(0, 1) * sum(7 + 3 * k)[c] +
                                 M(0, 2) * sum(8 + 3 * k)[c];
                job_.outputs[k][p] = static_cast<float>(a);
            }
        }
    }

    const SmoothThread& job_;
    const int fields_;
    const int columns_;
    const int hx_; // offsets reach at most columns − 1 ...
    const int hy_; // ... and rows − 1
    const int slots_;
    const int rowQuantities_;
    const std::size_t paddedWidth_;
    std::vector<double> padded_; // validity, then each field's masked values
    std::vector<double> ring_;   // slot, quantity, column
    std::vector<double> sums_;   // M's six entries, then b per field, per column
};

// Why the job cannot run safely (its block outside the split, fewer weights than its
// half window reaches, fewer inputs than outputs), or null when it can.
const char* jobFault(const SmoothThread& job) {
    if (job.count < 1 || job.index < 0 || job.index >= job.count)
        return "smoothing worker block outside its split";
    if (job.halfWindow < 0 || job.weights.size() < 2 * static_cast<std::size_t>(job.halfWindow) + 1)
        return "smoothing weights do not cover the window";
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
        SeparableWindowFit(*this).smoothRows(block.first, block.second);
    } catch (...) {
        error = std::current_exception();
    }
}

} // namespace orvex
