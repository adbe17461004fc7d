// The listing reader declared in listing_reader.hpp.
#include "listing_reader.hpp"

#include "../filesystem/name_encoding.hpp"
#include "../interned_names.hpp"

#include <cstring>

namespace quillkit::cargohold {

namespace {

// An ASCII text made in place from two pieces, its size known before it is made.
nb::object ascii_text(std::string_view first, std::string_view second = {}) {
    nb::object text = require(PyUnicode_New(static_cast<Py_ssize_t>(first.size() + second.size()), 127));
    char* at = static_cast<char*>(PyUnicode_DATA(text.ptr()));
    std::memcpy(at, first.data(), first.size());  // a directory's bytes or a stem: never null
    if (!second.empty()) std::memcpy(at + first.size(), second.data(), second.size());  // may point nowhere
    return text;
}

}  // namespace

ListingReader::ListingReader(nb::handle start_text, const TextTests& tests, FoundFiles& found)
    : tests_(tests),
      prefix_test_(tests.prefix, stand_ins::MemberTest::Match::prefix),
      found_(found),
      start_text_(nb::borrow(start_text)),
      utf8_names_(filesystem::utf8_names()),
      prefix_text_(filesystem::child_prefix(start_text)) {
    prefix_bytes_ = filesystem::encode_exactly(prefix_text_);
    ascii_prefix_ = utf8_names_ && prefix_bytes_ && PyUnicode_IS_ASCII(prefix_text_.ptr());
    plain_ = ascii_prefix_ && !tests_.prefix.is_valid();
    if (prefix_bytes_) directory_ = *prefix_bytes_;
}

void ListingReader::enter(const walk::Listing* listing, bool ascii, bool strict_utf8) {
    levels_.push_back(Level{listing, 0, directory_.size(), ascii, strict_utf8});
}

bool ListingReader::take_ready(const walk::Child& root) {
    if (!started_) {
        const walk::Listing* listing = root.listing.load(std::memory_order_acquire);
        if (!listing) return false;
        started_ = true;
        enter(listing, true, true);
    }
    while (!levels_.empty()) {
        Level& level = levels_.back();
        const walk::Listing& listing = *level.listing;
        if (level.next == listing.item_count) {
            levels_.pop_back();
            walk::Walk::release(listing);
            if (!levels_.empty()) directory_.resize(levels_.back().path_length);
            continue;
        }
        const walk::Item& item = listing.items[level.next];
        if (!(item.flags & walk::kDirectory)) {
            ++level.next;
            if (plain_ && level.ascii && (item.flags & walk::kAscii) &&
                !(item.flags & walk::kSuffixUndecided)) {
                // Most files: ASCII all through and nothing left to test, so the texts are the bytes.
                const std::string_view name = listing.name(item.name_offset, item.name_length);
                found_.add(ascii_text(directory_, name), ascii_text(name.substr(0, item.stem_length)));
            } else {
                add_file(level, item);
            }
            continue;
        }
        const walk::Listing* child = listing.children[item.child].listing.load(std::memory_order_acquire);
        if (!child) return false;  // not read yet
        ++level.next;
        directory_.append(listing.name(item.name_offset, item.name_length)).append(1, '/');
        enter(child, level.ascii && (item.flags & walk::kAscii),
              level.strict_utf8 && (item.flags & walk::kStrictUtf8));
    }
    return true;
}

// The tests the walk could not decide on bytes, by the interpreter's text operations.
bool ListingReader::passes_text_tests(std::string_view name, const walk::Item& item) {
    if (item.flags & walk::kSuffixUndecided) {
        nb::object suffix = call_method(filesystem::decode(name.substr(item.stem_length)), names::lower);
        if (!require_status(PySet_Contains(tests_.extensions.ptr(), suffix.ptr()))) return false;
    }
    if (tests_.prefix.is_valid()) return prefix_test_.matches(filesystem::decode(name));
    return true;
}

// The path of a file of the directory being read, as pathlib joins it to the start.
nb::object ListingReader::path_text(std::string_view name) {
    directory_.append(name);  // taken off again below
    nb::object text;
    try {
        text = filesystem::decode(directory_);  // one decode for the whole path
    } catch (const std::exception&) {
        directory_.resize(directory_.size() - name.size());
        throw;
    }
    directory_.resize(directory_.size() - name.size());
    // Without an exact byte form of the start, the text of the start goes in front as it is.
    if (!prefix_bytes_) text = require(PyUnicode_Concat(prefix_text_.ptr(), text.ptr()));
    return text;
}

// The directory os.walk gives for the one being read: the start, then each name joined on
// as os.path.join joins it.
nb::object ListingReader::walk_root_text() {
    const size_t prefix_length = prefix_bytes_ ? prefix_bytes_->size() : 0;
    if (directory_.size() == prefix_length) return start_text_;
    const std::string_view below(directory_.data() + prefix_length, directory_.size() - prefix_length - 1);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(start_text_.ptr());
    const bool ends_with_slash = length > 0 && PyUnicode_READ_CHAR(start_text_.ptr(), length - 1) == '/';
    return concat({start_text_, ends_with_slash ? "" : "/", filesystem::decode(below)});
}

// A file the walk kept without a rule for names: `fp = Path(root) / name`, found when
// `fp.suffix.lower()` is in the extension set and the name has the prefix, as (str(fp), fp.stem).
void ListingReader::add_file_by_library(std::string_view name) {
    nb::object name_text = filesystem::decode(name);
    nb::object file =
        require(PyNumber_TrueDivide(call(tests_.path_class, {walk_root_text()}).ptr(), name_text.ptr()));
    nb::object suffix = call_method(attr(file, names::suffix), names::lower);
    if (!require_status(PySet_Contains(tests_.extensions.ptr(), suffix.ptr()))) return;
    if (tests_.prefix.is_valid() && !truthy(call_method(name_text, names::startswith, {tests_.prefix})))
        return;
    all_strict_utf8_ = false;  // the texts are the library's: the caller sorts them
    found_.add(to_str(file), attr(file, names::stem));
}

void ListingReader::add_file(const Level& level, const walk::Item& item) {
    const std::string_view name = level.listing->name(item.name_offset, item.name_length);
    if (tests_.path_class.is_valid()) return add_file_by_library(name);
    if ((item.flags & walk::kSuffixUndecided) || tests_.prefix.is_valid()) {
        if (!passes_text_tests(name, item)) return;
    }
    all_strict_utf8_ = all_strict_utf8_ && level.strict_utf8 && (item.flags & walk::kStrictUtf8);
    const std::string_view stem = name.substr(0, item.stem_length);
    if (utf8_names_ && (item.flags & walk::kAscii)) {
        // The texts are the bytes: no decoding.
        nb::object path = ascii_prefix_ && level.ascii ? ascii_text(directory_, name) : path_text(name);
        found_.add(path, ascii_text(stem));
    } else {
        found_.add(path_text(name), filesystem::decode(stem));
    }
}

}  // namespace quillkit::cargohold
