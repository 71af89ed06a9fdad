// Compact JSON objects built member by member: each member is followed by a comma, and the
// final comma becomes the closing brace. No value needs escaping (base64, digits, dates).
#pragma once

#include <cstdint>
#include <string>

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
