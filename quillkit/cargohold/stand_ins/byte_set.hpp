// A set of byte strings that answers each of its questions (is this a member, does a member
// begin or end this, does a member and a separator begin this) in a number of hash look-ups
// bounded by the length of the string asked about, whatever the number of members. Nothing here
// touches a Python object: the walk consults one with the GIL released.
#pragma once

#include <algorithm>
#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace quillkit::cargohold::stand_ins {

class ByteSet {
public:
    ByteSet() = default;
    // The look-up table holds views of the stored members: a copy would point into the original.
    ByteSet(const ByteSet&) = delete;
    ByteSet& operator=(const ByteSet&) = delete;

    // Adds a member; a second copy of one changes nothing.
    void insert(std::string_view bytes) {
        if (contains(bytes)) return;
        members_.insert(stored_.emplace_back(bytes));
        const auto at = std::lower_bound(lengths_.begin(), lengths_.end(), bytes.size());
        if (at == lengths_.end() || *at != bytes.size()) lengths_.insert(at, bytes.size());
    }

    // Room for `count` members without growing the table.
    void reserve(size_t count) { members_.reserve(count); }

    void clear() {
        members_.clear();
        stored_.clear();
        lengths_.clear();
    }

    bool empty() const { return members_.empty(); }

    // True when `bytes` is a member.
    bool contains(std::string_view bytes) const { return members_.count(bytes) != 0; }

    // True when a member begins `bytes`: one look-up per member length that fits in it.
    bool holds_prefix_of(std::string_view bytes) const {
        for (const size_t length : lengths_) {
            if (length > bytes.size()) break;
            if (contains(bytes.substr(0, length))) return true;
        }
        return false;
    }

    // True when a member ends `bytes`: one look-up per member length that fits in it.
    bool holds_suffix_of(std::string_view bytes) const {
        for (const size_t length : lengths_) {
            if (length > bytes.size()) break;
            if (contains(bytes.substr(bytes.size() - length))) return true;
        }
        return false;
    }

private:
    std::deque<std::string> stored_;  // a deque never moves what it holds, so the views stay valid
    std::unordered_set<std::string_view> members_;
    std::vector<size_t> lengths_;  // the distinct lengths of the members, ascending
};

}  // namespace quillkit::cargohold::stand_ins
