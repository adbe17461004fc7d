// quillkit.stampkit: reads the date code in a file name, the sort key of date-code discovery.
//
// A date code is eight digits YYYYMMDD, optionally followed by six digits hhmmss (directly or
// after one "_" or "-"), standing alone: no digit right before or right after it. It is the
// pattern
//     (?<![0-9])([0-9]{4})([0-9]{2})([0-9]{2})(?:[_-]?([0-9]{2})([0-9]{2})([0-9]{2}))?(?![0-9])
// searched from left to right as re.finditer does; the first match that forms a real date (and
// time) wins, and one that does not is skipped. Written out by hand rather than through `re`:
// discovery calls it once per file.
#include "../support/module_startup.hpp"
#include "../support/published.hpp"

#include <optional>

namespace quillkit::stampkit {

namespace {

// A text read character by character, whatever its internal width.
class Text {
public:
    explicit Text(nb::handle text)
        : kind_(PyUnicode_KIND(text.ptr())),
          data_(PyUnicode_DATA(text.ptr())),
          length_(PyUnicode_GET_LENGTH(text.ptr())) {}
    Py_ssize_t length() const { return length_; }
    Py_UCS4 at(Py_ssize_t index) const { return PyUnicode_READ(kind_, data_, index); }
    bool is_digit(Py_ssize_t index) const {
        if (index < 0 || index >= length_) return false;
        const Py_UCS4 c = at(index);
        return c >= '0' && c <= '9';
    }
    bool digits(Py_ssize_t start, Py_ssize_t count) const {
        for (Py_ssize_t index = start; index < start + count; ++index) {
            if (!is_digit(index)) return false;
        }
        return true;
    }
    int number(Py_ssize_t start, Py_ssize_t count) const {
        int value = 0;
        for (Py_ssize_t index = start; index < start + count; ++index)
            value = value * 10 + static_cast<int>(at(index) - '0');
        return value;
    }

private:
    int kind_;
    const void* data_;
    Py_ssize_t length_;
};

struct Match {
    Py_ssize_t end;
    Py_ssize_t time_start;  // -1 without a time
};

// The match of the pattern that starts at `start`, trying the alternatives in the order the
// regular expression's greedy parts would: a time after a separator, a time right after the
// date, then the date alone.
std::optional<Match> match_at(const Text& text, Py_ssize_t start) {
    if (text.is_digit(start - 1) || !text.digits(start, 8)) return std::nullopt;
    const Py_ssize_t date_end = start + 8;
    const bool has_separator =
        date_end < text.length() && (text.at(date_end) == '_' || text.at(date_end) == '-');
    for (Py_ssize_t time_start : {has_separator ? date_end + 1 : -1, date_end}) {
        if (time_start < 0) continue;
        if (text.digits(time_start, 6) && !text.is_digit(time_start + 6)) {
            return Match{time_start + 6, time_start};
        }
    }
    if (text.is_digit(date_end)) return std::nullopt;
    return Match{date_end, -1};
}

bool is_leap_year(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int days_in_month(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap_year(year) ? 29 : days[month - 1];
}

// "YYYY-MM-DD hh:mm:ss" of the first date code in `stem` that is a real date, else None.
nb::object parse_file_name_time(Call&, nb::str stem) {
    const Text text(stem);
    Py_ssize_t position = 0;
    while (position + 8 <= text.length()) {
        const std::optional<Match> match = match_at(text, position);
        if (!match) {
            ++position;
            continue;
        }
        const int year = text.number(position, 4), month = text.number(position + 4, 2),
                  day = text.number(position + 6, 2);
        int hour = 0, minute = 0, second = 0;
        if (match->time_start >= 0) {
            hour = text.number(match->time_start, 2);
            minute = text.number(match->time_start + 2, 2);
            second = text.number(match->time_start + 4, 2);
        }
        // Years as the datetime module knows them (1 to 9999), the Gregorian leap years.
        const bool valid = year >= 1 && month >= 1 && month <= 12 && day >= 1 &&
                           day <= days_in_month(year, month) && hour < 24 && minute < 60 && second < 60;
        if (valid) {
            return require(PyUnicode_FromFormat("%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour,
                                                minute, second));
        }
        position = match->end;  // the search goes on after a match that is no date
    }
    return nb::none();
}

constexpr Function kParseFileNameTime{
    "parseVEV_fileNameTime",
    body<parse_file_name_time>,
    {Param{"stem", Rule::str, "str"}},
    Returns{"str | None", Rule::str},
    "取出檔名中的日期碼，回傳 \"YYYY-MM-DD hh:mm:ss\"；找不到有效日期碼時回傳 None。\n\n"
    "    日期碼為 8 位數字 YYYYMMDD，可接 6 位數字 hhmmss（可直接相連或以一個 \"_\" 或 \"-\" 分隔），\n"
    "    前後不得緊接其他數字。取第一個日期（含閏年）與時間都有效者；沒有時間時為 00:00:00。\n"
    "    回傳的文字依字串排序即為時間順序。\n\n"
    "    範例：\n"
    "        parseVEV_fileNameTime(\"run_20240131_235959\")  # '2024-01-31 23:59:59'\n"
    "        parseVEV_fileNameTime(\"log20231105\")          # '2023-11-05 00:00:00'\n"
    "        parseVEV_fileNameTime(\"x20241301\")            # None"};
const Published kPublishParseFileNameTime{kParseFileNameTime, 1};

void start(nb::handle module, Stateless&) { add_published_functions(module); }

}  // namespace
}  // namespace quillkit::stampkit

PyMODINIT_FUNC PyInit_stampkit() {
    return quillkit::define_module<quillkit::Stateless, quillkit::stampkit::start>(
        "quillkit.stampkit", "檔名日期碼的解析，供依日期碼排序檔案之用。");
}
