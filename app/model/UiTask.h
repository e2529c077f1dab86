#pragma once

// The app model's asynchronous operations: coroutines that run on the UI
// executor, hop to a worker thread for blocking work and come back through
// the executor.
//
//   UiTask<bool> DesktopAppModel::domainIsRegistered() {
//       auto [domains, error] = co_await awaitCallback<DomainList>(ui_, [&](auto done) { ... });
//       ...
//   }
//
// Rules, all enforced by the types below:
// - A UiTask starts at once, inside the call that makes it, and runs on the
//   calling thread (the UI executor) up to its first suspension.
// - It resumes only from work posted to the UI executor, so its body always
//   runs there, one step at a time, never on a worker.
// - Awaiting a UiTask gives its value or rethrows its error. A UiTask whose
//   handle is dropped before it ends runs on to its end on its own (the view
//   that starts an action does not wait); an error it ends with is logged.
// - Every resumption names a lifetime: when its owner (the model) is gone,
//   the operation is abandoned instead of resumed: none of its steps runs
//   again, and its frames, and those of the operations awaiting it, are
//   freed. The outermost one is freed at once when nobody holds its handle;
//   otherwise it reads as done with CancellationError, and dropping the
//   handle frees it. Posted work that is dropped without running (an
//   executor destroyed with work in its queue, on the UI thread) abandons
//   the same way.
//
// Name a lambda before awaiting on it: GCC 12 destroys a lambda with
// captures, or a braced temporary, written inside a co_await expression
// twice (a double free). So
//   const auto load = [store](std::stop_token) { return store.loadSession(); };
//   auto session = co_await runOnWorker(context(), load);
// never co_await runOnWorker(context(), [store](...) { ... }).

#include <concepts>
#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <type_traits>
#include <utility>
#include <variant>

#include "platform/core/CancellationError.h"
#include "platform/tasks/Executor.h"
#include "platform/tasks/TaskPool.h"

namespace nimbuscrate {

template <class T = void>
class UiTask;

namespace detail {

// Logs the error a task ended with when nobody awaits it.
void logDetachedTaskError(std::exception_ptr error) noexcept;

struct UiPromiseBase {
    std::coroutine_handle<> self;
    std::coroutine_handle<> continuation;
    UiPromiseBase* awaiter = nullptr;  // the operation awaiting this one, when it is a UiTask
    std::exception_ptr error;
    bool detached = false;  // the handle is gone: the frame frees itself at the end
    bool finished = false;
    bool abandoned = false;  // its owner is gone: it never runs again

    struct FinalAwaiter {
        bool await_ready() const noexcept { return false; }
        template <class Promise>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> frame) noexcept {
            Promise& promise = frame.promise();
            promise.finished = true;
            if (promise.continuation) return promise.continuation;
            if (promise.detached) {
                if (promise.error) logDetachedTaskError(promise.error);
                frame.destroy();
            }
            return std::noop_coroutine();
        }
        void await_resume() const noexcept {}
    };

    std::suspend_never initial_suspend() const noexcept { return {}; }
    FinalAwaiter final_suspend() const noexcept { return {}; }
    void unhandled_exception() noexcept { error = std::current_exception(); }
};

// Abandons the operation suspended at `suspended` and every operation
// awaiting it (see the rules above). On the UI executor only.
void abandon(UiPromiseBase& suspended) noexcept;

// The posted resumption of a suspended operation: resumes it when its owner
// is alive, abandons it when not, or when dropped without having run.
class Resumption {
public:
    Resumption(std::coroutine_handle<> frame, UiPromiseBase* promise, std::weak_ptr<void> alive)
        : frame_(frame), promise_(promise), alive_(std::move(alive)) {}
    Resumption(const Resumption&) = delete;
    Resumption& operator=(const Resumption&) = delete;
    ~Resumption() {
        if (!ran_ && promise_) abandon(*promise_);
    }

    void run() {
        ran_ = true;
        if (alive_.lock()) {
            frame_.resume();
        } else if (promise_) {
            abandon(*promise_);
        }
    }

private:
    std::coroutine_handle<> frame_;
    UiPromiseBase* promise_;  // null when the suspended coroutine is not a UiTask
    std::weak_ptr<void> alive_;
    bool ran_ = false;
};

template <class Promise>
void postResumption(Executor& ui, std::coroutine_handle<Promise> frame, std::weak_ptr<void> alive) {
    UiPromiseBase* promise = nullptr;
    if constexpr (std::is_base_of_v<UiPromiseBase, Promise>) promise = &frame.promise();
    auto resumption = std::make_shared<Resumption>(frame, promise, std::move(alive));
    ui.post([resumption] { resumption->run(); });
}

template <class T>
struct UiPromise : UiPromiseBase {
    std::optional<T> value;
    UiTask<T> get_return_object();
    template <class U>
        requires std::convertible_to<U, T>
    void return_value(U&& result) {
        value.emplace(std::forward<U>(result));
    }
};

template <>
struct UiPromise<void> : UiPromiseBase {
    UiTask<void> get_return_object();
    void return_void() const noexcept {}
};

}  // namespace detail

// The handle of one running operation. Move-only.
template <class T>
class [[nodiscard("drop the handle with detach() to let the operation run on its own")]] UiTask {
public:
    using promise_type = detail::UiPromise<T>;
    using Frame = std::coroutine_handle<promise_type>;

    UiTask() = default;
    explicit UiTask(Frame frame) : frame_(frame) {}
    UiTask(UiTask&& other) noexcept : frame_(std::exchange(other.frame_, nullptr)) {}
    UiTask& operator=(UiTask&& other) noexcept {
        if (this != &other) {
            release();
            frame_ = std::exchange(other.frame_, nullptr);
        }
        return *this;
    }
    ~UiTask() { release(); }

    // The operation has ended (with a value or an error).
    bool done() const { return !frame_ || frame_.promise().finished; }

    // After done(): the value, or the error rethrown.
    T result() const {
        promise_type& promise = frame_.promise();
        if (promise.error) std::rethrow_exception(promise.error);
        if constexpr (!std::is_void_v<T>) return *promise.value;
    }

    // Lets the operation run to its end without this handle.
    void detach() { release(); }

    bool await_ready() const noexcept { return done(); }
    template <class Promise>
    void await_suspend(std::coroutine_handle<Promise> awaiting) noexcept {
        frame_.promise().continuation = awaiting;
        if constexpr (std::is_base_of_v<detail::UiPromiseBase, Promise>) {
            frame_.promise().awaiter = &awaiting.promise();
        }
    }
    T await_resume() const { return result(); }

private:
    void release() {
        if (!frame_) return;
        promise_type& promise = frame_.promise();
        if (promise.finished || promise.abandoned) {
            frame_.destroy();
        } else {
            promise.detached = true;
            promise.continuation = nullptr;
            promise.awaiter = nullptr;
        }
        frame_ = nullptr;
    }

    Frame frame_;
};

namespace detail {
template <class T>
UiTask<T> UiPromise<T>::get_return_object() {
    const auto frame = std::coroutine_handle<UiPromise<T>>::from_promise(*this);
    self = frame;
    return UiTask<T>(frame);
}
inline UiTask<void> UiPromise<void>::get_return_object() {
    const auto frame = std::coroutine_handle<UiPromise<void>>::from_promise(*this);
    self = frame;
    return UiTask<void>(frame);
}
}  // namespace detail

// Where operations resume: the UI executor, the workers for blocking work,
// and the lifetime of the owner (resumptions after it ended do nothing).
struct UiContext {
    Executor& ui;
    TaskPool& workers;
    std::weak_ptr<void> alive;
};

namespace detail {

template <class Function>
struct WorkerAwaiter {
    using Result = std::invoke_result_t<Function&, std::stop_token>;

    UiContext context;
    Function function;
    std::conditional_t<std::is_void_v<Result>, std::monostate, std::optional<Result>> value;
    std::exception_ptr error;

    bool await_ready() const noexcept { return false; }
    template <class Promise>
    void await_suspend(std::coroutine_handle<Promise> frame) {
        Executor* ui = &context.ui;
        std::weak_ptr<void> alive = context.alive;
        auto resume = [ui, alive, frame] { postResumption(*ui, frame, alive); };
        const bool accepted = context.workers.submit([this, resume](std::stop_token stop) {
            try {
                if constexpr (std::is_void_v<Result>) {
                    function(stop);
                } else {
                    value.emplace(function(stop));
                }
            } catch (...) {
                error = std::current_exception();
            }
            resume();
        });
        if (!accepted) {
            error = std::make_exception_ptr(CancellationError());
            resume();
        }
    }
    Result await_resume() {
        if (error) std::rethrow_exception(error);
        if constexpr (!std::is_void_v<Result>) return std::move(*value);
    }
};

template <class Value, class Start>
struct CallbackAwaiter {
    struct Shared {
        std::mutex mutex;
        bool answered = false;
        std::optional<Value> value;
    };

    UiContext context;
    Start start;
    std::shared_ptr<Shared> shared = std::make_shared<Shared>();

    bool await_ready() const noexcept { return false; }
    template <class Promise>
    void await_suspend(std::coroutine_handle<Promise> frame) {
        Executor* ui = &context.ui;
        std::weak_ptr<void> alive = context.alive;
        std::shared_ptr<Shared> state = shared;
        std::function<void(Value)> done = [ui, alive, frame, state](Value value) {
            {
                std::lock_guard lock(state->mutex);
                if (state->answered) return;
                state->answered = true;
                state->value.emplace(std::move(value));
            }
            postResumption(*ui, frame, alive);
        };
        start(std::move(done));
    }
    Value await_resume() {
        std::lock_guard lock(shared->mutex);
        return std::move(*shared->value);
    }
};

}  // namespace detail

// co_await runOnWorker(context, [](std::stop_token stop) { return blocking(stop); }):
// runs the function on a worker thread and resumes on the UI executor with
// its result, or rethrows its error there. The function must not touch the
// model: it runs while the UI executor goes on. The stop token is the
// worker pool's (it fires at shutdown); a pool that no longer accepts work
// gives CancellationError.
template <class Function>
auto runOnWorker(const UiContext& context, Function function) {
    return detail::WorkerAwaiter<Function>{context, std::move(function), {}, {}};
}

// co_await awaitCallback<Value>(context, [&](std::function<void(Value)> done) { api.call(..., done); }):
// bridges a completion-handler call into the operation. `start` runs at once
// on the UI executor; `done` may be called from any thread (also inside
// `start`), and its first call resumes the operation on the UI executor with
// the value; later calls are ignored.
template <class Value, class Start>
auto awaitCallback(const UiContext& context, Start start) {
    return detail::CallbackAwaiter<Value, Start>{context, std::move(start)};
}

}  // namespace nimbuscrate
