// One thread's part of the walk (walk.hpp): the directories it is inside, depth first, and how
// it reads one into a listing. Private to the walk's own files.
#pragma once

#include "../filesystem/directory_reads.hpp"
#include "listing_memory.hpp"
#include "wait_meter.hpp"
#include "walk.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillkit::cargohold::walk {

// A name kept while its directory is read: where it lies in the worker's name buffer, what it
// is, and the first sixteen bytes of its sort key as two numbers, which decide most comparisons
// alone.
struct Kept {
    uint64_t leading[2];
    uint32_t offset;
    uint16_t length;
    uint16_t stem_length;
    uint8_t flags;
};

// One thread's part of the walk: a stack of the directories it is inside, depth first, each with
// the children it has still to visit; the listings it makes live in its arena.
class Worker {
public:
    Worker(Walk& walk, bool helper);
    ~Worker() { abandon(); }

    bool has_work() const { return !frames_.empty(); }
    bool is_helper() const { return helper_; }
    // The verdict on the window of reads the last directory visited completed, if it did one.
    WaitMeter::Verdict last_verdict() const { return verdict_; }
    void restart_meter() noexcept { meter_.restart(); }
    // Reads the directory of `task`.
    void start(Walk::Task& task);
    // Reads the next directory of the stack.
    void step();
    // Hands out half of the shallowest children still to visit (the largest subtrees).
    void give_away_some();
    // Hands out every child still to visit.
    void give_away_all();
    // Closes every descriptor and forgets the stack.
    void abandon() noexcept;

private:
    struct Frame {
        int fd;  // -1 when closed early
        const Listing* listing;
        uint32_t next;
        uint32_t end;
        size_t path_length;  // the frame's directory is path_[0, path_length)
    };

    void visit(int fd, Child& slot);
    void count_visit();
    bool read(int fd);
    void consider(int fd, const char* name, size_t length, unsigned char type);
    void consider_file(const char* name, size_t length);
    bool is_excluded(std::string_view name);
    bool too_long(size_t relative_length) const;
    int open_child(int parent);
    int open_by_path(bool follow_links);
    void hand_out(Frame& frame, uint32_t first, uint32_t count);
    const Listing* make_listing();
    void pop_finished();
    void keep(const char* name, size_t length, uint16_t stem_length, uint8_t flags);

    Walk& walk_;
    const Rules& rules_;
    const std::string& top_;
    const bool helper_;
    Arena arena_;
    WaitMeter meter_;
    WaitMeter::Verdict verdict_ = WaitMeter::Verdict::none;
    std::string path_;  // the directory last opened, below the start
    std::vector<Frame> frames_;
    filesystem::EntryBuffer buffer_;
    // The directory being read.
    std::vector<Kept> kept_;
    std::string names_;
    bool holds_excluded_ = false;
    std::string scratch_;
};

}  // namespace quillkit::cargohold::walk
