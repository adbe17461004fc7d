// A test of texts against a tuple or list the caller passes, as `text in members`,
// `text.startswith(members)` or `text.endswith(members)` answers it, in a number of hash
// look-ups bounded by the text's length however many members there are.
//
// The members are held by the UTF-8 form of their code points (a surrogate encoded as any other
// code point would be), so that two texts are equal exactly when their forms are, and one begins
// or ends another exactly when its form begins or ends the other's. What Python code would
// decide (a member or a text whose comparison is Python code, a member that is not a text) is
// left to the interpreter, which then sees every member in order as the plain test would.
#pragma once

#include "../../support/python_operations.hpp"
#include "byte_set.hpp"

#include <string>
#include <string_view>

namespace quillkit::cargohold::stand_ins {

// The UTF-8 form of a text's code points, surrogates included: the text's own data when it is
// ASCII, else made in `scratch`.
std::string_view code_point_form(nb::handle text, std::string& scratch);

class MemberTest {
public:
    enum class Match {
        equal,   // text in members (a tuple or list)
        prefix,  // text.startswith(members) (a tuple)
        suffix,  // text.endswith(members) (a tuple)
    };

    // The caller keeps `members` alive while the test is used, and runs no Python code of its
    // own between two tests that could change a list's items (the test's own Python is seen).
    MemberTest(nb::handle members, Match match) : members_(members), match_(match) {}

    // The plain test's answer for `text`; raises what it would raise.
    bool matches(nb::handle text);

private:
    void read_members();
    bool eligible(nb::handle member) const;
    bool matches_form(std::string_view form) const;
    bool matches_by_python(nb::handle text);

    nb::handle members_;
    Match match_;
    ByteSet leading_;        // the members before the first one only Python can compare
    bool complete_ = false;  // every member is in `leading_`
    bool stale_ = true;      // `leading_` is to be read (again)
    std::string scratch_;
};

}  // namespace quillkit::cargohold::stand_ins
