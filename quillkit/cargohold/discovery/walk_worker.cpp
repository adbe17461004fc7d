// The worker declared in walk_worker.hpp: reading one directory into its listing, moving
// through the tree, handing out work.
#include "walk_worker.hpp"

#include "../../support/system_calls.hpp"
#include "../filesystem/directory_reads.hpp"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace quillkit::cargohold::walk {

namespace {

// Descriptors a worker keeps open for the directories it is inside (so that their children are
// opened relative to them); deeper ones are closed at once and their children opened by path.
constexpr size_t kHeldDescriptors = 32;

// What opening a directory gives a helper that found no descriptor left: the directory goes
// back to the queue for the caller's thread (open_directory never gives it).
constexpr int kGivenBack = -2;

bool out_of_descriptors(int error) { return error == EMFILE || error == ENFILE; }

char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Whole paths sort as their directories' children do when a directory's name is compared as if
// "/" followed it: "a.py" < "a/…" < "a0". The key is that name (with the "/"), shorter first.
void set_leading_bytes(const char* name, size_t length, Kept& kept) {
    unsigned char bytes[16] = {};
    const size_t count = std::min<size_t>(length, 16);
    std::memcpy(bytes, name, count);
    if ((kept.flags & kDirectory) && count < 16) bytes[count] = '/';
    for (size_t word = 0; word < 2; ++word) {
        uint64_t value;
        std::memcpy(&value, bytes + word * 8, 8);
        // As a number, the first byte must weigh most.
        kept.leading[word] = (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) ? __builtin_bswap64(value) : value;
    }
}

// The order of two names whose first sixteen bytes are the same.
[[gnu::noinline]] bool in_path_order_after_leading(const std::string& names, const Kept& left,
                                                   const Kept& right) {
    const size_t common = std::min(left.length, right.length);
    if (const int order = std::memcmp(names.data() + left.offset, names.data() + right.offset, common)) {
        return order < 0;
    }
    const auto next = [&](const Kept& kept) {
        if (kept.length > common)
            return static_cast<int>(static_cast<unsigned char>(names[kept.offset + common]));
        return (kept.flags & kDirectory) ? int('/') : -1;
    };
    return next(left) < next(right);
}

inline bool in_path_order(const std::string& names, const Kept& left, const Kept& right) {
    if (left.leading[0] != right.leading[0]) return left.leading[0] < right.leading[0];
    if (left.leading[1] != right.leading[1]) return left.leading[1] < right.leading[1];
    return in_path_order_after_leading(names, left, right);
}

}  // namespace

Worker::Worker(Walk& walk, bool helper)
    : walk_(walk),
      rules_(walk.rules_),
      top_(walk.top_),
      helper_(helper),
      arena_(*walk.pool_),
      meter_(walk.plan_.always_waiting) {}

// --- reading one directory ----------------------------------------------------------------

// True when the path of an entry below the start (its relative path `relative_length` bytes
// long) is too long for the system: os.walk reaches everything by whole paths, so what it cannot
// reach, neither may the walk, which opens and stats relative to open directories.
bool Worker::too_long(size_t relative_length) const {
    const size_t joined = top_.size() + (top_.back() == '/' ? 0 : 1) + relative_length;  // os.path.join
    return joined + 1 > PATH_MAX;  // with the terminating NUL
}

void Worker::keep(const char* name, size_t length, uint16_t stem_length, uint8_t flags) {
    const std::string_view bytes(name, length);
    if (filesystem::is_ascii(bytes)) {
        flags |= kAscii | kStrictUtf8;
    } else if (filesystem::is_strict_utf8(bytes)) {
        flags |= kStrictUtf8;
    }
    kept_.push_back(Kept{
        {0, 0}, static_cast<uint32_t>(names_.size()), static_cast<uint16_t>(length), stem_length, flags});
    if (rules_.order == Order::by_path) set_leading_bytes(name, length, kept_.back());
    names_.append(name, length);
}

bool Worker::is_excluded(std::string_view name) {
    if (!holds_excluded_) return false;
    scratch_.assign(path_);
    if (!scratch_.empty()) scratch_ += '/';
    scratch_ += name;
    return rules_.excluded.count(scratch_) != 0;
}

void Worker::consider_file(const char* name, size_t length) {
    const std::string_view bytes(name, length);
    size_t stem = length;
    bool undecided = true;  // the suffix and the stem are the caller's to find
    if (rules_.dots) {
        // pathlib's suffix. Its dot is ASCII, so its byte position is its character position in
        // the decoded name too.
        stem = stand_ins::stem_length(bytes, *rules_.dots);
        if (stem == length) return;  // no suffix: no extension matches
        const std::string_view suffix = bytes.substr(stem);
        undecided = rules_.suffixes_in_text || !filesystem::is_ascii(suffix);
        if (!undecided) {
            scratch_.assign(suffix);  // free until is_excluded fills it anew
            std::transform(scratch_.begin(), scratch_.end(), scratch_.begin(), lower_ascii);
            if (!rules_.extensions.contains(scratch_)) return;
        }
    }
    if (rules_.prefix_in_bytes && bytes.compare(0, rules_.prefix.size(), rules_.prefix) != 0) return;
    if (is_excluded(bytes)) return;
    keep(name, length, static_cast<uint16_t>(stem), undecided ? kSuffixUndecided : 0);
}

void Worker::consider(int fd, const char* name, size_t length, unsigned char type) {
    filesystem::EntryKind kind;
    if ((type == DT_LNK || type == DT_UNKNOWN) && too_long((path_.empty() ? 0 : path_.size() + 1) + length)) {
        kind.stat_error = ENAMETOOLONG;  // os.scandir stats by whole path
    } else {
        kind = filesystem::probe(fd, name, type, false);
    }
    if (!kind.is_directory) return consider_file(name, length);
    // Links to directories are listed but never entered; excluded trees are pruned.
    if (!rules_.recursive || kind.is_link || is_excluded(std::string_view(name, length))) return;
    keep(name, length, 0, kDirectory);
}

bool Worker::read(int fd) {
    kept_.clear();
    names_.clear();
    holds_excluded_ = !rules_.excluded.empty() && rules_.holds_excluded.count(path_) != 0;
    int error = 0;
    return filesystem::for_each_entry(
        fd, buffer_,
        [&](const char* name, size_t length, unsigned char type) { consider(fd, name, length, type); },
        error);
}

// The listing of the directory just read, in the order of the rules, in the worker's arena.
const Listing* Worker::make_listing() {
    if (kept_.empty()) return empty_listing();
    if (rules_.order == Order::by_path) {
        std::sort(kept_.begin(), kept_.end(),
                  [&](const Kept& left, const Kept& right) { return in_path_order(names_, left, right); });
    } else {
        std::stable_partition(kept_.begin(), kept_.end(),
                              [](const Kept& kept) { return !(kept.flags & kDirectory); });
    }
    const size_t children =
        std::count_if(kept_.begin(), kept_.end(), [](const Kept& kept) { return kept.flags & kDirectory; });
    const size_t items_at = sizeof(Listing) + children * sizeof(Child);
    const size_t names_at = items_at + kept_.size() * sizeof(Item);
    Chunk* chunk = nullptr;
    char* memory = arena_.allocate(names_at + names_.size(), chunk);
    auto* child = reinterpret_cast<Child*>(memory + sizeof(Listing));
    auto* item = reinterpret_cast<Item*>(memory + items_at);
    char* name = memory + names_at;
    auto* listing = new (memory) Listing{
        chunk, static_cast<uint32_t>(kept_.size()), static_cast<uint32_t>(children), item, child, name};
    uint32_t offset = 0, slot = 0;
    for (const Kept& kept : kept_) {
        std::memcpy(name + offset, names_.data() + kept.offset, kept.length);
        *item++ = Item{offset, slot, kept.length, kept.stem_length, kept.flags};
        if (kept.flags & kDirectory) {
            Child* made = new (child++) Child;
            made->name_offset = offset;
            made->name_length = kept.length;
            ++slot;
        }
        offset += kept.length;
    }
    return listing;
}

// Reads the open directory into its listing, publishes it in `slot`, and stacks it when it has
// children to visit. A directory that cannot be read whole is skipped without a word, as os.walk
// skips it.
void Worker::visit(int fd, Child& slot) {
    if (fd == kGivenBack) return walk_.give_back(Walk::Task{path_, &slot});
    Descriptor directory(fd);
    if (directory.get() < 0 || !read(directory.get())) {
        slot.listing.store(empty_listing(), std::memory_order_release);
        return;
    }
    const Listing* listing = make_listing();
    slot.listing.store(listing, std::memory_order_release);
    if (listing->child_count == 0) return;
    frames_.push_back(Frame{-1, listing, 0, listing->child_count, path_.size()});
    if (frames_.size() <= kHeldDescriptors) frames_.back().fd = directory.take();
}

// Counts the directory just visited on the meter, and tells the walk of each window judged.
void Worker::count_visit() {
    verdict_ = meter_.count_read();
    if (verdict_ != WaitMeter::Verdict::none) walk_.note_window(verdict_ == WaitMeter::Verdict::waiting);
}

// --- moving through the tree --------------------------------------------------------------

// Opens the directory path_ names, a child of the directory open as `parent` (-1: closed).
int Worker::open_child(int parent) {
    if (too_long(path_.size())) return -1;
    if (parent >= 0) {
        const size_t slash = path_.rfind('/');
        const char* name = path_.c_str() + (slash == std::string::npos ? 0 : slash + 1);
        const int fd = filesystem::open_directory(parent, name, false);
        if (fd >= 0 || !out_of_descriptors(errno)) return fd;
        // Out of descriptors: give back the ones held for the stack and go by whole paths.
        for (Frame& frame : frames_) {
            if (frame.fd >= 0) close(std::exchange(frame.fd, -1));
        }
    }
    return open_by_path(false);
}

// Opens the directory path_ names by its whole path, as os.walk opens every directory. When no
// descriptor is left, a helper gives the directory back (and the walk goes on without helpers);
// the caller's thread sends the helpers away, with the descriptors they hold, and tries again.
int Worker::open_by_path(bool follow_links) {
    const std::string path = path_.empty() ? top_ : filesystem::join(top_, path_);
    const int fd = filesystem::open_directory(AT_FDCWD, path.c_str(), follow_links);
    if (fd >= 0 || !out_of_descriptors(errno)) return fd;
    if (helper_) return kGivenBack;
    return walk_.send_helpers_away() ? filesystem::open_directory(AT_FDCWD, path.c_str(), follow_links) : -1;
}

void Worker::pop_finished() {
    while (!frames_.empty() && frames_.back().next == frames_.back().end) {
        if (frames_.back().fd >= 0) close(frames_.back().fd);
        frames_.pop_back();
    }
}

void Worker::start(Walk::Task& task) {
    path_ = std::move(task.relative);
    // The start itself may be a link (it is read); below it, links are never entered.
    visit(open_by_path(path_.empty()), *task.slot);
    count_visit();
}

void Worker::step() {
    Frame& frame = frames_.back();
    Child& child = frame.listing->children[frame.next++];
    path_.resize(frame.path_length);
    if (!path_.empty()) path_ += '/';
    path_.append(frame.listing->name(child.name_offset, child.name_length));
    const int fd = open_child(frame.fd);
    pop_finished();  // so that the stack holds no finished directory when the child's is pushed
    visit(fd, child);
    count_visit();
}

void Worker::give_away_some() {
    for (size_t depth = 0; depth < frames_.size(); ++depth) {
        Frame& frame = frames_[depth];
        const uint32_t left = frame.end - frame.next;
        const bool deepest = depth + 1 == frames_.size();
        // The deepest frame is what this worker does next: it keeps at least one child of it.
        const uint32_t count = deepest ? left / 2 : (left + 1) / 2;
        if (count == 0) continue;
        // Elsewhere the earlier ones: what this worker is inside comes before them, so the
        // reader, which takes listings in order, finds them done sooner than what it keeps.
        if (deepest) {
            hand_out(frame, frame.end - count, count);
            frame.end -= count;
        } else {
            hand_out(frame, frame.next, count);
            frame.next += count;
        }
        return;
    }
}

void Worker::give_away_all() {
    for (Frame& frame : frames_) {
        hand_out(frame, frame.next, frame.end - frame.next);
        frame.next = frame.end;
    }
}

// Queues the children [first, first + count) of the frame's directory as tasks.
void Worker::hand_out(Frame& frame, uint32_t first, uint32_t count) {
    if (count == 0) return;
    std::vector<Walk::Task> tasks;
    tasks.reserve(count);
    for (uint32_t index = first; index < first + count; ++index) {
        Child& child = frame.listing->children[index];
        std::string relative = path_.substr(0, frame.path_length);
        if (!relative.empty()) relative += '/';
        relative.append(frame.listing->name(child.name_offset, child.name_length));
        tasks.push_back(Walk::Task{std::move(relative), &child});
    }
    walk_.give(tasks);
}

void Worker::abandon() noexcept {
    for (const Frame& frame : frames_) {
        if (frame.fd >= 0) close(frame.fd);
    }
    frames_.clear();
}

}  // namespace quillkit::cargohold::walk
