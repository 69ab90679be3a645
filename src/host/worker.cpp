#include "host/worker.h"

#include <cstring>

namespace kelvo {

namespace {

constexpr size_t words_for(uint32_t size) { return 1 + (size_t{size} + 7) / 8; }

}  // namespace

worker::worker()
    : schedule_feature{this,
                       [](LV2_Worker_Schedule_Handle h, uint32_t size, const void* data) noexcept {
                           return static_cast<worker*>(h)->schedule(size, data);
                       }} {}

void worker::bind(LV2_Handle handle, const LV2_Worker_Interface* interface) {
    // Every byte charged to the budget takes at most as many bytes in a queue, plus a word
    // of header per message, which the budget charges as well.
    requests_.words.assign(worker_budget_bytes / 8, 0);
    responses_.words.assign(worker_budget_bytes / 8, 0);
    handle_ = handle;
    interface_ = interface;
}

bool worker::queue::push(uint32_t size, const void* data) noexcept {
    const size_t need = words_for(size);
    if (words.size() - tail < need)
        return false;
    std::memcpy(&words[tail], &size, sizeof size);
    if (size > 0)
        std::memcpy(&words[tail + 1], data, size);
    tail += need;
    return true;
}

const uint32_t* worker::queue::front() const noexcept {
    return head < tail ? reinterpret_cast<const uint32_t*>(&words[head]) : nullptr;
}

void worker::queue::pop() noexcept {
    head += words_for(*front());
    if (head == tail)
        clear();
}

bool worker::charge(uint32_t size) noexcept {
    const size_t cost = words_for(size) * 8;
    if (cost > worker_budget_bytes - spent_)
        return false;
    spent_ += cost;
    return true;
}

LV2_Worker_Status worker::schedule(uint32_t size, const void* data) noexcept {
    if (!interface_ || !interface_->work)
        return LV2_WORKER_ERR_UNKNOWN;
    if (!charge(size))
        return LV2_WORKER_ERR_NO_SPACE;
    if (depth_ > 0)
        return requests_.push(size, data) ? LV2_WORKER_SUCCESS : LV2_WORKER_ERR_NO_SPACE;
    work(size, data);
    drain_requests();
    return LV2_WORKER_SUCCESS;
}

LV2_Worker_Status worker::respond(uint32_t size, const void* data) noexcept {
    if (!charge(size) || !responses_.push(size, data))
        return LV2_WORKER_ERR_NO_SPACE;
    return LV2_WORKER_SUCCESS;
}

void worker::work(uint32_t size, const void* data) noexcept {
    const auto respond = [](LV2_Worker_Respond_Handle h, uint32_t n, const void* d) noexcept {
        return static_cast<worker*>(h)->respond(n, d);
    };
    ++depth_;
    interface_->work(handle_, respond, this, size, data);
    --depth_;
}

// Work asked for from inside work or a response, oldest first, until none is left.
void worker::drain_requests() noexcept {
    while (const uint32_t* request = requests_.front()) {
        work(*request, request + 2);
        requests_.pop();
    }
}

void worker::deliver(bool after_run) noexcept {
    if (!interface_)
        return;
    while (const uint32_t* response = responses_.front()) {
        if (interface_->work_response) {
            ++depth_;
            interface_->work_response(handle_, *response, response + 2);
            --depth_;
        }
        responses_.pop();
        drain_requests();
    }
    spent_ = 0;
    if (after_run && interface_->end_run)
        interface_->end_run(handle_);
}

}  // namespace kelvo
