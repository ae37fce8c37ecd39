// Eager coroutine types: where a body continues, where failures surface,
// the single completion slot, cancellation and the lifetime of frames.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "ombrane/platform/async.h"
#include "ombrane/platform/errors.h"

using winrt::Windows::Foundation::AsyncStatus;
using winrt::Windows::Foundation::IAsyncAction;
using winrt::Windows::Foundation::IAsyncOperation;
using namespace ombrane::platform;

namespace {

IAsyncOperation<int> ReadyAsync(int value)
{
    co_return value;
}

// Completes on the layer's thread once the gate opens.
IAsyncOperation<int> GatedAsync(std::shared_future<void> gate, int value)
{
    co_await winrt::resume_background();
    gate.wait();
    co_return value;
}

struct Where {
    std::thread::id thread;
    bool on_layer = false;
    int value = 0;
};

IAsyncAction AwaitAndRecordAsync(IAsyncOperation<int> operation, Where* where)
{
    where->value = co_await operation;
    where->thread = std::this_thread::get_id();
    where->on_layer = winrt::OnLayerThread();
}

// Counts live instances: shows what a frame still holds.
struct Counted {
    static inline std::atomic<int> live{0};
    Counted() { live++; }
    Counted(const Counted&) { live++; }
    ~Counted() { live--; }
};

IAsyncAction HoldAsync(Counted parameter, std::shared_future<void> gate, std::atomic<int>* live_at_end)
{
    Counted local;
    co_await winrt::resume_background();
    gate.wait();
    (void)parameter;
    live_at_end->store(Counted::live.load());
}

winrt::hresult CodeOfGet(const IAsyncAction& action)
{
    try {
        action.get();
    } catch (const winrt::hresult_error& e) {
        return e.code();
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    }
    return kOk;
}

}  // namespace

TEST(AsyncAwait, ReadyOperationContinuesOnTheCallersThread)
{
    Where where;
    IAsyncAction action = AwaitAndRecordAsync(ReadyAsync(7), &where);
    // Nothing suspended: the body has ended inside the call.
    EXPECT_EQ(action.Status(), AsyncStatus::Completed);
    EXPECT_EQ(where.thread, std::this_thread::get_id());
    EXPECT_FALSE(where.on_layer);
    EXPECT_EQ(where.value, 7);
}

TEST(AsyncAwait, LaterOperationContinuesOnTheLayerThread)
{
    std::promise<void> open;
    Where where;
    IAsyncAction action = AwaitAndRecordAsync(GatedAsync(open.get_future().share(), 9), &where);
    EXPECT_EQ(action.Status(), AsyncStatus::Started);
    open.set_value();
    action.get();
    EXPECT_NE(where.thread, std::this_thread::get_id());
    EXPECT_TRUE(where.on_layer);
    EXPECT_EQ(where.value, 9);
}

TEST(AsyncAwait, FailureIsRaisedWhereAwaitedNeverByTheCall)
{
    struct Case {
        const char* name;
        bool suspend_first;
        void (*raise)();
        winrt::hresult code;
    };
    const Case cases[] = {
        {"runtime error at once", false, [] { throw std::runtime_error("boom"); }, kFail},
        {"runtime error later", true, [] { throw std::runtime_error("boom"); }, kFail},
        {"platform error at once", false, [] { throw winrt::hresult_error(kAccessDenied, L"no"); }, kAccessDenied},
        {"bad_alloc later", true, [] { throw std::bad_alloc(); }, kOutOfMemory},
        {"out_of_range at once", false, [] { throw std::out_of_range("idx"); }, kOutOfBounds},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto failing = [](bool suspend_first, void (*raise)()) -> IAsyncOperation<int> {
            if (suspend_first) co_await winrt::resume_background();
            raise();
            co_return 0;
        };
        // The awaiting coroutine sees the converted code, and passes it on
        // unchanged to whoever fetches its own results.
        auto outer = [](IAsyncOperation<int> inner, winrt::hresult* seen) -> IAsyncAction {
            try {
                co_await inner;
            } catch (const winrt::hresult_error& e) {
                *seen = e.code();
                throw;
            } catch (const std::bad_alloc&) {
                *seen = kOutOfMemory;
                throw;
            }
        };
        IAsyncOperation<int> inner;
        ASSERT_NO_THROW(inner = failing(c.suspend_first, c.raise));
        winrt::hresult seen = kOk;
        IAsyncAction action;
        ASSERT_NO_THROW(action = outer(inner, &seen));
        EXPECT_EQ(CodeOfGet(action), c.code);
        EXPECT_EQ(seen, c.code);
        EXPECT_EQ(inner.Status(), AsyncStatus::Error);
        EXPECT_EQ(action.Status(), AsyncStatus::Error);
        if (c.code != kOutOfMemory) {
            EXPECT_EQ(action.ErrorCode(), c.code);
        }
    }
}

TEST(AsyncCompleted, HandlerRunsExactlyOnceAndASecondIsRefused)
{
    std::promise<void> open;
    IAsyncOperation<int> operation = GatedAsync(open.get_future().share(), 3);
    std::atomic<int> calls{0};
    std::promise<AsyncStatus> status;
    operation.Completed([&](const IAsyncOperation<int>& sender, AsyncStatus s) {
        calls++;
        EXPECT_EQ(sender.GetResults(), 3);
        status.set_value(s);
    });
    EXPECT_THROW(operation.Completed([](const IAsyncOperation<int>&, AsyncStatus) {}),
                 winrt::hresult_illegal_delegate_assignment);
    // The slot is taken: an await or a blocking wait is refused too.
    EXPECT_THROW(operation.get(), winrt::hresult_illegal_delegate_assignment);
    open.set_value();
    EXPECT_EQ(status.get_future().get(), AsyncStatus::Completed);
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(operation.GetResults(), 3);
}

TEST(AsyncCompleted, HandlerSetAfterTheEndRunsAtOnceOnTheCallersThread)
{
    IAsyncOperation<int> operation = ReadyAsync(5);
    std::thread::id ran_on;
    int calls = 0;
    operation.Completed([&](const IAsyncOperation<int>&, AsyncStatus s) {
        calls++;
        ran_on = std::this_thread::get_id();
        EXPECT_EQ(s, AsyncStatus::Completed);
    });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(ran_on, std::this_thread::get_id());
}

TEST(AsyncGetResults, RefusedBeforeTheEndAndOnAnEmptyHandle)
{
    std::promise<void> open;
    IAsyncOperation<int> operation = GatedAsync(open.get_future().share(), 1);
    EXPECT_THROW(operation.GetResults(), winrt::hresult_illegal_method_call);
    open.set_value();
    EXPECT_EQ(operation.get(), 1);
    IAsyncAction empty;
    EXPECT_THROW(empty.Status(), winrt::hresult_illegal_method_call);
}

TEST(AsyncGet, BlockingWaitOnTheLayerThreadIsRefused)
{
    std::promise<void> open;
    IAsyncOperation<int> pending = GatedAsync(open.get_future().share(), 1);
    auto waiter = [](IAsyncOperation<int> op) -> IAsyncOperation<winrt::hresult> {
        co_await winrt::resume_background();
        try {
            op.get();
        } catch (const winrt::hresult_error& e) {
            co_return e.code();
        }
        co_return kOk;
    };
    // The gated operation occupies the worker; release it after the waiter
    // is queued behind it.
    IAsyncOperation<winrt::hresult> result = waiter(pending);
    open.set_value();
    EXPECT_EQ(result.get(), kIllegalMethodCall);
}

TEST(AsyncCancel, StopsTheBodyAtItsNextAwait)
{
    std::promise<void> open;
    std::atomic<bool> passed_second{false};
    auto body = [](std::shared_future<void> gate, std::atomic<bool>* passed) -> IAsyncAction {
        co_await GatedAsync(gate, 1);
        co_await ReadyAsync(2);
        passed->store(true);
    };
    IAsyncAction action = body(open.get_future().share(), &passed_second);
    action.Cancel();
    open.set_value();
    EXPECT_EQ(CodeOfGet(action), kCanceled);
    EXPECT_EQ(action.Status(), AsyncStatus::Canceled);
    EXPECT_FALSE(passed_second.load());
    EXPECT_THROW(action.GetResults(), winrt::hresult_canceled);
}

TEST(AsyncFrame, LocalsGoWithTheBodyParametersWithTheLastHandle)
{
    std::promise<void> open;
    std::atomic<int> live_at_end{-1};
    ASSERT_EQ(Counted::live.load(), 0);
    IAsyncAction action;
    {
        Counted argument;
        action = HoldAsync(argument, open.get_future().share(), &live_at_end);
    }
    // Parameter copy and local, both in the frame.
    EXPECT_EQ(Counted::live.load(), 2);
    open.set_value();
    action.get();
    EXPECT_EQ(live_at_end.load(), 2);
    // get() returns once the completion is delivered; the body drops its own
    // reference just after, on the worker, which runs one coroutine at a
    // time: once a later one has run, that release is done.
    auto drain = []() -> IAsyncAction { co_await winrt::resume_background(); };
    drain().get();
    // Body ended: the local is gone, the parameter stays with the frame.
    EXPECT_EQ(Counted::live.load(), 1);
    action = nullptr;
    EXPECT_EQ(Counted::live.load(), 0);
}

TEST(AsyncFrame, ReleasedWhenTheHandleGoesFirst)
{
    std::promise<void> open;
    std::promise<void> ended;
    auto body = [](Counted, std::shared_future<void> gate, std::promise<void>* done) -> IAsyncAction {
        co_await winrt::resume_background();
        gate.wait();
        done->set_value();
    };
    {
        IAsyncAction dropped = body(Counted(), open.get_future().share(), &ended);
    }
    EXPECT_EQ(Counted::live.load(), 1);
    open.set_value();
    ended.get_future().wait();
    // The body's own reference goes at its final suspension, on the worker;
    // the worker runs one coroutine at a time, so once a later one has run
    // that release is done.
    auto drain = []() -> IAsyncAction { co_await winrt::resume_background(); };
    drain().get();
    EXPECT_EQ(Counted::live.load(), 0);
}

TEST(AsyncAwait, ManyChainsThroughTheLayerThreadEndInOrder)
{
    // Chains of awaits started from several threads at once: every one ends
    // with its own sum.
    auto step = [](int value) -> IAsyncOperation<int> {
        co_await winrt::resume_background();
        co_return value + 1;
    };
    auto chain = [step](int start, int length) -> IAsyncOperation<int> {
        int value = start;
        for (int i = 0; i < length; i++) value = co_await step(value);
        co_return value;
    };
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&, t] {
            std::vector<IAsyncOperation<int>> ops;
            for (int i = 0; i < 25; i++) ops.push_back(chain(1000 * t + i, 20));
            for (int i = 0; i < 25; i++)
                if (ops[i].get() != 1000 * t + i + 20) wrong++;
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
}
