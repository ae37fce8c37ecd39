// Eager coroutine types IAsyncAction and IAsyncOperation<T>: the body runs at
// once on the caller's thread; after an awaited operation it continues on the
// thread that completed it. Each handle counts a reference to the coroutine's
// frame, which is freed once the body has ended and the last handle is gone.
#pragma once

#include <atomic>
#include <coroutine>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>

#include "ombrane/platform/errors.h"

namespace winrt::Windows::Foundation {

enum class AsyncStatus : int32_t { Started = 0, Completed = 1, Canceled = 2, Error = 3 };

}  // namespace winrt::Windows::Foundation

namespace winrt::impl {

using Windows::Foundation::AsyncStatus;

// Completion state shared by every asynchronous object. The completion slot
// takes exactly one party: a handler, or the coroutine that awaits.
class AsyncState {
public:
    AsyncState() = default;
    AsyncState(const AsyncState&) = delete;
    AsyncState& operator=(const AsyncState&) = delete;

    void AddRef() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
    void Release() noexcept
    {
        if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) Destroy();
    }

    AsyncStatus Status() const noexcept;
    hresult ErrorCode() const noexcept;
    void Cancel() noexcept { cancel_requested_.store(true, std::memory_order_release); }
    bool CancelRequested() const noexcept { return cancel_requested_.load(std::memory_order_acquire); }

    // The handler is called once with the final status: at once, on this
    // thread, when the state has already ended. A second taker is refused.
    void SetHandler(std::function<void(AsyncState*, AsyncStatus)> handler);
    // False when the state has already ended (the caller resumes itself).
    bool SetContinuation(std::coroutine_handle<> awaiting);
    // Blocks until the state has ended, through the completion slot; refused
    // on the layer's thread, which would wait for itself.
    void Wait();
    // Raises the stored failure (cancellation as hresult_canceled); refuses a
    // state that has not ended.
    void ThrowIfFailed() const;

    // For the promise: record the failure being handled.
    void StoreCurrentException() noexcept;
    // For the promise's final suspension: publish the final status, then
    // hand over to whoever holds the slot and drop the body's reference.
    std::coroutine_handle<> Finish() noexcept;

protected:
    virtual ~AsyncState() = default;
    virtual void Destroy() noexcept = 0;

private:
    std::atomic<int32_t> refs_{1};  // the body's reference
    std::atomic<bool> cancel_requested_{false};
    mutable std::mutex mutex_;
    AsyncStatus status_ = AsyncStatus::Started;
    ombrane::platform::StoredFailure failure_;
    bool slot_taken_ = false;
    std::function<void(AsyncState*, AsyncStatus)> handler_;
    std::coroutine_handle<> continuation_;
};

// Frees the frame once the body has ended and the last handle is gone.
template <typename Promise>
class CoroutineState : public AsyncState {
protected:
    void Destroy() noexcept override
    {
        std::coroutine_handle<Promise>::from_promise(static_cast<Promise&>(*this)).destroy();
    }
};

struct FinalAwaiter {
    AsyncState* state;
    bool await_ready() const noexcept { return false; }
    template <typename P>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<P>) noexcept
    {
        return state->Finish();
    }
    void await_resume() const noexcept {}
};

// Every await inside one of our coroutines first tests for a requested
// cancellation, so a cancelled body stops at its next await.
template <typename Awaitable>
Awaitable&& CheckCancelBeforeAwait(const AsyncState& state, Awaitable&& awaitable)
{
    if (state.CancelRequested()) throw hresult_canceled();
    return std::forward<Awaitable>(awaitable);
}

// Handle plumbing common to both types.
class AsyncHandle {
public:
    AsyncHandle() noexcept = default;
    AsyncHandle(std::nullptr_t) noexcept {}
    AsyncHandle(AsyncState* state, bool add_ref) noexcept : state_(state)
    {
        if (state_ && add_ref) state_->AddRef();
    }
    AsyncHandle(const AsyncHandle& other) noexcept : AsyncHandle(other.state_, true) {}
    AsyncHandle(AsyncHandle&& other) noexcept : state_(std::exchange(other.state_, nullptr)) {}
    AsyncHandle& operator=(AsyncHandle other) noexcept
    {
        std::swap(state_, other.state_);
        return *this;
    }
    ~AsyncHandle()
    {
        if (state_) state_->Release();
    }
    explicit operator bool() const noexcept { return state_ != nullptr; }

    AsyncStatus Status() const { return Checked()->Status(); }
    hresult ErrorCode() const { return Checked()->ErrorCode(); }
    void Cancel() const { Checked()->Cancel(); }

protected:
    AsyncState* Checked() const
    {
        if (!state_) throw hresult_illegal_method_call(L"call on an empty asynchronous handle");
        return state_;
    }
    AsyncState* state_ = nullptr;
};

template <typename Handle>
struct HandleAwaiter {
    const Handle& handle;
    bool await_ready() const { return handle.Status() != AsyncStatus::Started; }
    bool await_suspend(std::coroutine_handle<> awaiting) const
    {
        return handle.State()->SetContinuation(awaiting);
    }
    decltype(auto) await_resume() const { return handle.GetResults(); }
};

// Queues a coroutine to resume on the layer's worker thread (started on
// first use). Raises std::bad_alloc or hresult_error when it cannot.
void PostToLayerThread(std::coroutine_handle<> coroutine);
void StartLayerThread();

}  // namespace winrt::impl

namespace winrt {

// True on the layer's worker thread.
bool OnLayerThread() noexcept;

// co_await resume_background(); continues the coroutine on the layer's
// worker thread.
struct resume_background {
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> coroutine) const { impl::PostToLayerThread(coroutine); }
    void await_resume() const noexcept {}
};

}  // namespace winrt

namespace winrt::Windows::Foundation {

class IAsyncAction : public impl::AsyncHandle {
public:
    using impl::AsyncHandle::AsyncHandle;
    using Handler = std::function<void(const IAsyncAction&, AsyncStatus)>;

    // At most one handler, and not together with an await or get().
    void Completed(Handler handler) const
    {
        Checked()->SetHandler([handler = std::move(handler)](impl::AsyncState* state, AsyncStatus status) {
            handler(IAsyncAction(state, true), status);
        });
    }
    void GetResults() const { Checked()->ThrowIfFailed(); }
    // Waits for the end, then raises a failure on this thread.
    void get() const
    {
        Checked()->Wait();
        GetResults();
    }
    impl::AsyncState* State() const { return Checked(); }

    struct promise_type : impl::CoroutineState<promise_type> {
        IAsyncAction get_return_object() noexcept { return IAsyncAction(this, true); }
        std::suspend_never initial_suspend() const noexcept { return {}; }
        impl::FinalAwaiter final_suspend() noexcept { return {this}; }
        void return_void() const noexcept {}
        void unhandled_exception() noexcept { StoreCurrentException(); }
        template <typename A>
        A&& await_transform(A&& awaitable) const
        {
            return impl::CheckCancelBeforeAwait(*this, std::forward<A>(awaitable));
        }
    };
};

inline auto operator co_await(const IAsyncAction& action)
{
    return impl::HandleAwaiter<IAsyncAction>{action};
}

template <typename T>
class IAsyncOperation : public impl::AsyncHandle {
public:
    using impl::AsyncHandle::AsyncHandle;
    using Handler = std::function<void(const IAsyncOperation&, AsyncStatus)>;

    void Completed(Handler handler) const
    {
        Checked()->SetHandler([handler = std::move(handler)](impl::AsyncState* state, AsyncStatus status) {
            handler(IAsyncOperation(state, true), status);
        });
    }
    // A copy of the result; the failure when the operation failed.
    T GetResults() const
    {
        Checked()->ThrowIfFailed();
        return *static_cast<promise_type*>(state_)->result;
    }
    T get() const
    {
        Checked()->Wait();
        return GetResults();
    }
    impl::AsyncState* State() const { return Checked(); }

    struct promise_type : impl::CoroutineState<promise_type> {
        std::optional<T> result;

        IAsyncOperation get_return_object() noexcept { return IAsyncOperation(this, true); }
        std::suspend_never initial_suspend() const noexcept { return {}; }
        impl::FinalAwaiter final_suspend() noexcept { return {this}; }
        template <typename U>
        void return_value(U&& value)
        {
            result.emplace(std::forward<U>(value));
        }
        void unhandled_exception() noexcept { this->StoreCurrentException(); }
        template <typename A>
        A&& await_transform(A&& awaitable) const
        {
            return impl::CheckCancelBeforeAwait(*this, std::forward<A>(awaitable));
        }
    };
};

template <typename T>
auto operator co_await(const IAsyncOperation<T>& operation)
{
    return impl::HandleAwaiter<IAsyncOperation<T>>{operation};
}

}  // namespace winrt::Windows::Foundation
