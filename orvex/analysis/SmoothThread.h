#pragma once
// One worker of the multi-field window smoothing (orvex::smooth).

#include "orvex/core/Array1.h"

#include <exception>
#include <memory>
#include <thread>
#include <vector>

namespace orvex {

// Smooths inputs[k] into outputs[k] (k < outputs.size()) on the rows of its block
// (rowBlock(rows, index, count)), on a thread of its own, with the window fits of
// SeparableWindowFit: points whose mask is negative or NaN, and points whose window's
// valid points lie on one line or whose normal matrix is singular, keep their outputs.
// A job whose block, weights or field lists do not fit together (see run) writes
// nothing.
//
// The record is not copied or moved while its thread runs; the caller keeps the
// fields alive and unchanged by others, and outputs must not overlap the inputs or mask.
struct SmoothThread {
    // Copies the lists and the weights; the thread is not started.
    SmoothThread(const Array1<float*>& outputs, const Array1<float const*>& inputs, const float* mask,
                 const std::vector<double>& weights, int columns, int rows, int halfWindow, int index,
                 int count);
    // Joins the thread if it is still running.
    ~SmoothThread();
    SmoothThread(const SmoothThread&) = delete;
    SmoothThread& operator=(const SmoothThread&) = delete;

    // Starts run() on a new thread; logs an error and does nothing when one was started
    // already. Throws std::system_error when the thread cannot be created.
    void start();
    // Waits for the thread and releases it; nothing when none was started.
    void join();
    // The worker body. Never throws: an exception is kept in `error`, among them
    // std::invalid_argument when index is outside [0, count), weights holds fewer than
    // 2·halfWindow + 1 values or is not symmetric about its centre, or inputs holds
    // fewer lists than outputs.
    void run();

    Array1<float*> outputs;
    Array1<float const*> inputs;
    const float* mask;
    std::vector<double> weights; // g(i) at index halfWindow + i, i ∈ [−halfWindow, halfWindow]
    int columns;
    int rows;
    int halfWindow;
    int index; // this worker's block
    int count; // number of workers
    std::unique_ptr<std::thread> thread;
    std::exception_ptr error; // what stopped run(), if anything
};

} // namespace orvex
