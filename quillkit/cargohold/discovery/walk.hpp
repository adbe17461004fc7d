// The walk of discovery: os.walk(top) top-down, with the pruning and file tests of discovery
// applied as it goes, on one thread or several.
//
// Each directory read becomes a Listing: the names it keeps (matching files and directories to
// enter), already in the order the result wants, with one slot per kept directory where that
// directory's own listing appears once it has been read. Whoever reads the listings in order
// (depth first, following the slots) gets the found files in order, whichever thread read which
// directory, and may do so while the walk goes on, releasing each listing once it is done.
//
// Nothing here touches a Python object: the walk runs with the GIL released.
#pragma once

#include "../stand_ins/byte_set.hpp"
#include "../stand_ins/path_rules.hpp"
#include "wait_meter.hpp"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

namespace quillkit::cargohold::walk {

// The order of the names within a listing.
enum class Order {
    by_path,    // the order of sorted whole paths (byte order; code-point order for strict UTF-8)
    as_walked,  // os.walk's: the files in listing order, then the directories in listing order
};

// The rules a file must pass to be found. Paths here are relative to the start directory, with
// "/" between components; the caller has worked out which exclusions can apply below the start.
struct Rules {
    stand_ins::ByteSet extensions;  // the ASCII members of the extension set
    bool suffixes_in_text = false;  // leave every suffix test to the caller
    // pathlib's rule for where a suffix starts, taken with the GIL; none when the caller asks the
    // library for the suffix and stem of every file (then every file is kept, undecided).
    std::optional<stand_ins::DotRule> dots;
    std::unordered_set<std::string> excluded;        // excluded relative paths
    std::unordered_set<std::string> holds_excluded;  // directories with an excluded path inside
    bool prefix_in_bytes = false;                    // test `prefix` here
    std::string prefix;
    bool recursive = false;
    Order order = Order::by_path;
};

// What an item of a listing is.
enum ItemFlag : uint8_t {
    kDirectory = 1,        // a directory to enter (else a found file)
    kAscii = 2,            // the name is ASCII
    kStrictUtf8 = 4,       // the name is strict UTF-8 (ASCII names are)
    kSuffixUndecided = 8,  // the suffix is not ASCII (or not tested here): the caller decides
};

struct Item {
    uint32_t name_offset;  // in the listing's names
    uint32_t child;        // a directory's slot among the listing's children
    uint16_t name_length;
    uint16_t stem_length;  // a file's name without its suffix
    uint8_t flags;
};

struct Listing;
struct Chunk;
class ChunkPool;

// Where a kept directory's listing appears once it has been read; `empty_listing()` when it
// could not be read or keeps nothing.
struct Child {
    std::atomic<const Listing*> listing{nullptr};
    uint32_t name_offset = 0;
    uint16_t name_length = 0;
};

struct Listing {
    Chunk* chunk;  // the memory it lives in; null for the shared empty listing
    uint32_t item_count;
    uint32_t child_count;
    const Item* items;
    Child* children;
    const char* names;

    std::string_view name(uint32_t offset, uint32_t length) const {
        return std::string_view(names + offset, length);
    }
};

// The listing of a directory that keeps nothing.
const Listing* empty_listing();

// The threads of one walk. The caller's thread starts the helpers once the walk proves worth
// sharing, and more while the threads wait on their reads rather than run.
struct ThreadPlan {
    size_t threads = 1;           // the caller's thread and the helpers it starts
    size_t most_threads = 1;      // in all, with the helpers that join while reads wait
    bool always_waiting = false;  // every read seems to wait (to test the helpers that join)
};

class Worker;

// One walk from `top` (the start directory as bytes). The caller's thread drives it through
// advance(); the helpers it starts walk subtrees that it or they hand out.
class Walk {
public:
    Walk(std::string top, const Rules& rules, const ThreadPlan& plan);
    ~Walk();  // stops and joins every helper
    Walk(const Walk&) = delete;
    Walk& operator=(const Walk&) = delete;

    // On the caller's thread: visits up to `budget` directories, or waits a short while for the
    // helpers when there is none to visit, starting helpers as the plan says. True when the walk
    // is over. Throws what a helper threw.
    bool advance(size_t budget);

    // Stops the walk and waits for every helper. Idempotent; the listings read so far stay.
    void stop() noexcept;

    // The start directory's listing, once read.
    const Child& root() const { return root_; }

    // Gives back the memory of a listing the reader is done with (the caller's thread only).
    static void release(const Listing& listing);

private:
    friend class Worker;
    struct Task {
        std::string relative;  // the directory's path below the start
        Child* slot;
    };

    // The next task for `worker`; false when there is none for now (the caller's thread, after a
    // brief wait) or the walk is over for this thread.
    bool take(Task& task, Worker& worker);
    void give(std::vector<Task>& tasks);
    // A helper found no descriptor left: the directory goes back to the queue, and the helpers
    // leave, handing back all they hold.
    void give_back(Task task);
    // On the caller's thread, when it found no descriptor left: sends the helpers away and waits
    // for them, so that their descriptors are free. False when there were none.
    bool send_helpers_away();
    void done_with_stack();
    void update_hunger();  // with the lock held
    void fail(std::exception_ptr failure) noexcept;
    void run_helper(Worker& worker);
    // Any worker, at the end of each window of its reads.
    void note_window(bool waiting) noexcept;
    // The caller's thread, after each directory it visits.
    void consider_helpers(WaitMeter::Verdict own_verdict);
    // Starts up to `count` helper threads; false when the system refused one.
    bool add_helpers(size_t count);

    const std::string top_;
    const Rules& rules_;
    const ThreadPlan plan_;
    Child root_;
    std::unique_ptr<ChunkPool> pool_;  // outlives the workers, whose arenas give back to it

    std::mutex mutex_;  // guards what follows, up to the atomics
    std::condition_variable changed_;
    std::deque<Task> tasks_;
    size_t busy_ = 0;  // workers with directories in hand
    size_t idle_ = 0;  // workers waiting for a task
    bool over_ = false;
    std::exception_ptr failure_;

    std::atomic<bool> stopping_{false};
    std::atomic<bool> scarce_{false};  // descriptors ran out: the caller's thread goes on alone
    std::atomic<int> hungry_{0};       // idle workers that no queued task will feed
    // Windows of reads judged since the caller's thread last decided on a helper: their number
    // in the high half, the waiting ones in the low half, so that one exchange takes both.
    std::atomic<uint64_t> windows_{0};

    // The caller's thread only.
    size_t visits_before_helpers_ = 0;
    bool helpers_started_ = false;
    bool may_add_helpers_ = false;

    std::unique_ptr<Worker> own_;  // the caller's thread
    std::vector<std::unique_ptr<Worker>> helpers_;
    std::vector<std::thread> threads_;
};

}  // namespace quillkit::cargohold::walk
