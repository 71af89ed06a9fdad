// Text helpers of the front end: dates, field splitting, number fields, base names.
#include "text.h"

#include <cctype>
#include <climits>
#include <string>

#include "../recording/bytes.h"

namespace {

void append_two_digits(std::string& out, int32_t v) {
    // Values above 9 as they are; anything else (negative values too) after a "0".
    if (v <= 9) out += '0';
    out += std::to_string(v);
}

}  // namespace

std::string _date_to_string(const kx_Config::DateStruct& date) {
    std::string out = date.year == 0 ? "0000" : std::to_string(date.year);
    out += '-';
    append_two_digits(out, date.month);
    out += '-';
    append_two_digits(out, date.day);
    out += ' ';
    append_two_digits(out, date.hour);
    out += ':';
    append_two_digits(out, date.minute);
    out += ':';
    append_two_digits(out, date.second);
    return out;
}

void _split(const std::string& text, char delimiter, std::vector<std::string>& out) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(delimiter, start);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

bool _parse_number_field(const std::string& field, int32_t* value) {
    size_t i = 0;
    while (i < field.size() && std::isspace(static_cast<unsigned char>(field[i]))) ++i;
    bool negative = false;
    if (i < field.size() && (field[i] == '+' || field[i] == '-')) negative = field[i++] == '-';
    const size_t first_digit = i;
    long long magnitude = 0;
    while (i < field.size() && std::isdigit(static_cast<unsigned char>(field[i]))) {
        magnitude = magnitude * 10 + (field[i] - '0');
        if (magnitude > 2147483648LL) return false;  // stop before the sum can overflow
        ++i;
    }
    if (i == first_digit) return false;
    const long long v = negative ? -magnitude : magnitude;
    if (v < INT32_MIN || v > INT32_MAX) return false;
    *value = static_cast<int32_t>(v);
    return true;
}

int _str_to_bytes(std::string field, unsigned char* buf, int offset, int count) {
    int32_t v = 0;
    _parse_number_field(field, &v);
    write_be(buf + offset, static_cast<uint32_t>(v), count);
    return v;
}

std::string _file_basename(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}
