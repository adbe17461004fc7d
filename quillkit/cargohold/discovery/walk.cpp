// The walk declared in walk.hpp: how the caller's thread and the helpers share the work. What
// one thread does with it is in walk_worker.cpp.
#include "walk.hpp"

#include "walk_worker.hpp"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <system_error>

namespace quillkit::cargohold::walk {

namespace {

// How long the caller's thread waits for helpers before it returns to check for signals.
constexpr auto kBriefWait = std::chrono::milliseconds(5);

// Directories the caller's thread visits alone, so that a small tree is read without starting a
// thread; reads that wait start the helpers sooner.
constexpr size_t kVisitsBeforeHelpers = 256;

constexpr uint64_t kOneWindow = uint64_t{1} << 32;  // in Walk::windows_

const Listing kEmptyListing{nullptr, 0, 0, nullptr, nullptr, nullptr};

}  // namespace

const Listing* empty_listing() { return &kEmptyListing; }

Walk::Walk(std::string top, const Rules& rules, const ThreadPlan& plan)
    : top_(std::move(top)),
      rules_(rules),
      plan_(plan),
      pool_(std::make_unique<ChunkPool>()),
      own_(std::make_unique<Worker>(*this, false)) {
    tasks_.push_back(Task{std::string(), &root_});
}

Walk::~Walk() { stop(); }

void Walk::update_hunger() {
    hungry_.store(static_cast<int>(idle_) - static_cast<int>(tasks_.size()), std::memory_order_relaxed);
}

bool Walk::take(Task& task, Worker& worker) {
    const bool callers_thread = !worker.is_helper();
    std::unique_lock<std::mutex> lock(mutex_);
    const auto leaving = [&] {
        return stopping_.load(std::memory_order_relaxed) || (!callers_thread && scarce_);
    };
    const auto ready = [&] { return !tasks_.empty() || over_ || leaving(); };
    const bool waits = !ready();
    if (waits) {
        ++idle_;
        update_hunger();
        if (callers_thread) {  // it returns now and then to check for signals
            changed_.wait_for(lock, kBriefWait, ready);
        } else {
            changed_.wait(lock, ready);
        }
        --idle_;
    }
    const bool taken = !tasks_.empty() && !leaving();
    if (taken) {
        task = std::move(tasks_.front());
        tasks_.pop_front();
        ++busy_;
    }
    update_hunger();
    lock.unlock();
    if (waits) worker.restart_meter();  // waiting for a task is not waiting on reads
    return taken;
}

void Walk::give(std::vector<Task>& tasks) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (Task& task : tasks) tasks_.push_back(std::move(task));
        update_hunger();
    }
    changed_.notify_all();
}

void Walk::give_back(Task task) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tasks_.push_back(std::move(task));
        scarce_.store(true, std::memory_order_relaxed);
    }
    changed_.notify_all();
}

bool Walk::send_helpers_away() {
    if (threads_.empty()) return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        scarce_.store(true, std::memory_order_relaxed);
    }
    changed_.notify_all();
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
    return true;
}

void Walk::done_with_stack() {
    std::lock_guard<std::mutex> lock(mutex_);
    --busy_;
    if (busy_ == 0 && tasks_.empty()) {
        over_ = true;
        changed_.notify_all();
    }
}

void Walk::fail(std::exception_ptr failure) noexcept {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!failure_) failure_ = std::move(failure);
        stopping_.store(true, std::memory_order_relaxed);
    }
    changed_.notify_all();
}

void Walk::note_window(bool waiting) noexcept {
    windows_.fetch_add(kOneWindow | static_cast<uint64_t>(waiting), std::memory_order_relaxed);
}

// The helpers the plan gives, once the caller's thread has visited enough directories alone or
// its reads wait; then half as many again at the end of a window of the caller's reads, while
// most of the windows judged since the last decision (on every thread) waited and no thread lacks
// work.
void Walk::consider_helpers(WaitMeter::Verdict own_verdict) {
    if (!helpers_started_) {
        if (++visits_before_helpers_ < kVisitsBeforeHelpers && own_verdict != WaitMeter::Verdict::waiting)
            return;
        helpers_started_ = true;
        may_add_helpers_ = add_helpers(plan_.threads - 1) && plan_.most_threads > plan_.threads;
        windows_.store(0, std::memory_order_relaxed);
        return;
    }
    if (!may_add_helpers_ || own_verdict == WaitMeter::Verdict::none) return;
    if (scarce_.load(std::memory_order_relaxed)) {  // the caller's thread goes on alone
        may_add_helpers_ = false;
        return;
    }
    const size_t threads = 1 + threads_.size();
    const uint64_t windows = windows_.load(std::memory_order_relaxed);
    if ((windows >> 32) < threads) return;  // every thread may have its say first
    windows_.fetch_sub(windows, std::memory_order_relaxed);
    const uint64_t judged = windows >> 32, waiting = windows & (kOneWindow - 1);
    if (waiting * 4 < judged * 3 || hungry_.load(std::memory_order_relaxed) > 0) return;
    const size_t added = std::min(std::max<size_t>(threads / 2, 1), plan_.most_threads - threads);
    may_add_helpers_ = add_helpers(added) && threads + added < plan_.most_threads;
}

bool Walk::advance(size_t budget) {
    Worker& own = *own_;
    own.restart_meter();  // the time with the interpreter since the last slice is not reading
    for (size_t visited = 0; visited < budget && !stopping_.load(std::memory_order_relaxed); ++visited) {
        if (own.has_work()) {
            if (hungry_.load(std::memory_order_relaxed) > 0) own.give_away_some();
            own.step();
        } else {
            Task task;
            if (!take(task, own)) break;
            own.start(task);
        }
        if (!own.has_work()) done_with_stack();
        if (may_add_helpers_ || !helpers_started_) consider_helpers(own.last_verdict());
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (failure_) std::rethrow_exception(failure_);
    return over_;
}

void Walk::run_helper(Worker& worker) {
    try {
        worker.restart_meter();
        Task task;
        while (take(task, worker)) {
            worker.start(task);
            while (worker.has_work() && !stopping_.load(std::memory_order_relaxed) &&
                   !scarce_.load(std::memory_order_relaxed)) {
                if (hungry_.load(std::memory_order_relaxed) > 0) worker.give_away_some();
                worker.step();
            }
            if (scarce_.load(std::memory_order_relaxed)) worker.give_away_all();
            worker.abandon();  // when stopped part-way
            done_with_stack();
        }
    } catch (const std::exception&) {  // not a catch-all, which would take a thread's end too
        fail(std::current_exception());
    }
}

bool Walk::add_helpers(size_t count) {
    // Helpers leave the signals sent to the process to the caller's thread, which runs the
    // handlers: one must not interrupt a helper's system call (and so change what it reads).
    // Faults of the helper itself still reach it.
    sigset_t all, previous;
    sigfillset(&all);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) sigdelset(&all, fault);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    try {
        for (size_t added = 0; added < count; ++added) {
            helpers_.push_back(std::make_unique<Worker>(*this, true));
            threads_.emplace_back(&Walk::run_helper, this, std::ref(*helpers_.back()));
        }
    } catch (const std::system_error&) {
        helpers_.pop_back();  // no thread for it: the walk goes on with fewer
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return false;
    } catch (const std::exception&) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return true;
}

void Walk::stop() noexcept {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_.store(true, std::memory_order_relaxed);
    }
    changed_.notify_all();
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
}

void Walk::release(const Listing& listing) {
    if (listing.chunk) listing.chunk->release();
}

}  // namespace quillkit::cargohold::walk
