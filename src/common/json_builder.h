// Compact JSON objects built member by member: each member is followed by a comma, and the
// final comma becomes the closing brace. string() does not escape (base64, digits, dates); text
// from outside goes through json_string.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// A double as JSON that JSON.parse turns back into the same value; null when not finite.
inline std::string json_number(double value) {
    if (!std::isfinite(value)) return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

// UTF-8 text as a JSON string: quotes, backslashes and control characters escaped.
inline std::string json_string(const std::string& value) {
    std::string out = "\"";
    for (const char c : value) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + '"';
}

// Values that are already JSON text, as a JSON array.
inline std::string json_array(const std::vector<std::string>& items) {
    std::string out = "[";
    for (const std::string& item : items) out += (out.size() > 1 ? "," : "") + item;
    return out + ']';
}

class JsonObject {
public:
    void number(const char* key, int64_t value) { member(key, std::to_string(value)); }
    void string(const char* key, const std::string& value) { member(key, "\"" + value + "\""); }
    // A value that is already JSON text (a nested object).
    void raw(const char* key, const std::string& json) { member(key, json); }

    std::string close() {
        if (text_.size() > 1) text_.pop_back();
        text_ += '}';
        return text_;
    }

private:
    void member(const char* key, const std::string& value) {
        text_ += '"';
        text_ += key;
        text_ += "\":";
        text_ += value;
        text_ += ',';
    }
    std::string text_ = "{";
};
