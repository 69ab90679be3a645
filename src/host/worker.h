#pragma once

#include <lv2/core/lv2.h>
#include <lv2/worker/worker.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelvo {

/// The most bytes of requests and responses one run may queue, nested work included: a
/// plugin that schedules work for ever still comes to an end.
constexpr size_t worker_budget_bytes = size_t{1} << 20;

/// The worker:schedule feature, done synchronously as an offline host should: work asked
/// for during `run` is done at once, its responses are delivered after `run` returns, and
/// work asked for inside `work` or `work_response` waits until that call returns. Two runs
/// of one file therefore give the same output.
class worker {
public:
    worker();
    worker(const worker&) = delete;
    worker& operator=(const worker&) = delete;

    /// Starts serving `handle` through `interface`, the plugin's worker extension; allocates
    /// the queues, so throws std::bad_alloc when memory runs out.
    void bind(LV2_Handle handle, const LV2_Worker_Interface* interface);

    /// Delivers the responses of the work done since the last call, and the responses of
    /// the work those ask for, in order; then `end_run` when `after_run` says this follows a
    /// run. Starts a new budget.
    void deliver(bool after_run) noexcept;

    LV2_Worker_Schedule schedule_feature;  ///< handle and callback for the plugin

private:
    /// A FIFO of sized messages in storage allocated once, each 8-byte aligned.
    struct queue {
        std::vector<uint64_t> words;
        size_t head = 0;
        size_t tail = 0;
        bool push(uint32_t size, const void* data) noexcept;
        const uint32_t* front() const noexcept;
        void pop() noexcept;
        void clear() noexcept { head = tail = 0; }
    };

    LV2_Worker_Status schedule(uint32_t size, const void* data) noexcept;
    LV2_Worker_Status respond(uint32_t size, const void* data) noexcept;
    bool charge(uint32_t size) noexcept;
    void work(uint32_t size, const void* data) noexcept;
    void drain_requests() noexcept;

    LV2_Handle handle_ = nullptr;
    const LV2_Worker_Interface* interface_ = nullptr;
    queue requests_;
    queue responses_;
    size_t spent_ = 0;  // bytes queued since the budget started
    int depth_ = 0;     // inside work or work_response: new work waits
};

}  // namespace kelvo
