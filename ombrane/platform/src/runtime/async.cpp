// Completion of asynchronous objects and the layer's worker thread, on which
// every operation of the layer completes.
#include "ombrane/platform/async.h"

#include <condition_variable>
#include <deque>
#include <new>
#include <system_error>
#include <thread>

namespace winrt::impl {

namespace {

// One worker, joined at exit after draining its queue, so no coroutine is
// still running when the process's statics go away.
class LayerThread {
public:
    ~LayerThread()
    {
        std::thread worker;
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            worker = std::move(worker_);
        }
        wake_.notify_all();
        if (worker.joinable()) worker.join();
    }

    void Post(std::coroutine_handle<> coroutine)
    {
        std::unique_lock lock(mutex_);
        if (stopping_) throw hresult_illegal_method_call(L"layer thread: the process is ending");
        StartLocked();
        queue_.push_back(coroutine);
        lock.unlock();
        wake_.notify_one();
    }

    void Start()
    {
        std::lock_guard lock(mutex_);
        StartLocked();
    }

    bool IsCurrent() const noexcept { return std::this_thread::get_id() == id_.load(std::memory_order_acquire); }

private:
    void StartLocked()
    {
        if (worker_.joinable()) return;
        try {
            worker_ = std::thread([this] { Run(); });
        } catch (const std::system_error& e) {
            throw ombrane::platform::PlatformError(ombrane::platform::kFail,
                                                   std::string("layer thread: cannot start: ") + e.what());
        }
        id_.store(worker_.get_id(), std::memory_order_release);
    }

    void Run()
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;
            std::coroutine_handle<> next = queue_.front();
            queue_.pop_front();
            lock.unlock();
            next.resume();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::coroutine_handle<>> queue_;
    bool stopping_ = false;
    std::thread worker_;
    std::atomic<std::thread::id> id_{};
};

LayerThread& TheLayerThread()
{
    static LayerThread thread;
    return thread;
}

// Signalled once; waiters return only after the signaller has let go of the
// mutex, so the event may live on the waiter's stack.
class ManualResetEvent {
public:
    void Set()
    {
        std::lock_guard lock(mutex_);
        set_ = true;
        cond_.notify_all();
    }
    void Wait()
    {
        std::unique_lock lock(mutex_);
        cond_.wait(lock, [this] { return set_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cond_;
    bool set_ = false;
};

}  // namespace

void PostToLayerThread(std::coroutine_handle<> coroutine)
{
    TheLayerThread().Post(coroutine);
}

void StartLayerThread()
{
    TheLayerThread().Start();
}

AsyncStatus AsyncState::Status() const noexcept
{
    std::lock_guard lock(mutex_);
    return status_;
}

hresult AsyncState::ErrorCode() const noexcept
{
    std::lock_guard lock(mutex_);
    if (status_ == AsyncStatus::Error || status_ == AsyncStatus::Canceled)
        return failure_.foreign ? ombrane::platform::kUnexpected : failure_.code;
    return ombrane::platform::kOk;
}

void AsyncState::SetHandler(std::function<void(AsyncState*, AsyncStatus)> handler)
{
    std::unique_lock lock(mutex_);
    if (slot_taken_)
        throw hresult_illegal_delegate_assignment(L"asynchronous object: a completion handler is already set");
    slot_taken_ = true;
    if (status_ == AsyncStatus::Started) {
        handler_ = std::move(handler);
        return;
    }
    AsyncStatus status = status_;
    lock.unlock();
    handler(this, status);
}

bool AsyncState::SetContinuation(std::coroutine_handle<> awaiting)
{
    std::lock_guard lock(mutex_);
    if (slot_taken_)
        throw hresult_illegal_delegate_assignment(L"asynchronous object: awaited while a completion handler is set");
    slot_taken_ = true;
    if (status_ != AsyncStatus::Started) return false;
    continuation_ = awaiting;
    return true;
}

void AsyncState::Wait()
{
    if (winrt::OnLayerThread())
        throw hresult_illegal_method_call(L"asynchronous object: blocking wait on the layer's thread");
    if (Status() != AsyncStatus::Started) return;
    ManualResetEvent done;
    SetHandler([&done](AsyncState*, AsyncStatus) { done.Set(); });
    done.Wait();
}

void AsyncState::ThrowIfFailed() const
{
    ombrane::platform::StoredFailure failure;
    {
        std::lock_guard lock(mutex_);
        switch (status_) {
        case AsyncStatus::Completed:
            return;
        case AsyncStatus::Started:
            throw hresult_illegal_method_call(L"asynchronous object: results fetched before the end");
        case AsyncStatus::Canceled:
            throw hresult_canceled();
        case AsyncStatus::Error:
            break;
        }
        failure = failure_;
    }
    ombrane::platform::RethrowStoredFailure(failure);
}

void AsyncState::StoreCurrentException() noexcept
{
    ombrane::platform::StoredFailure failure = ombrane::platform::CaptureCurrentException();
    std::lock_guard lock(mutex_);
    failure_ = std::move(failure);
}

std::coroutine_handle<> AsyncState::Finish() noexcept
{
    std::function<void(AsyncState*, AsyncStatus)> handler;
    std::coroutine_handle<> continuation;
    AsyncStatus status;
    {
        std::lock_guard lock(mutex_);
        if (failure_.code == ombrane::platform::kOk && !failure_.foreign)
            status_ = AsyncStatus::Completed;
        else if (failure_.code == ombrane::platform::kCanceled)
            status_ = AsyncStatus::Canceled;
        else
            status_ = AsyncStatus::Error;
        status = status_;
        handler = std::move(handler_);
        continuation = continuation_;
    }
    if (handler) {
        // A handler has nowhere to report its own failure.
        try {
            handler(this, status);
        } catch (...) {
        }
    }
    // The awaiting side holds a handle, so this never frees the state it is
    // about to read; without one, the frame may go now.
    Release();
    return continuation ? continuation : std::noop_coroutine();
}

}  // namespace winrt::impl

namespace winrt {

bool OnLayerThread() noexcept
{
    return impl::TheLayerThread().IsCurrent();
}

}  // namespace winrt
