// Configuration writing for both readers: the compact configuration text becomes header frames.
#include <cstring>
#include <string>
#include <vector>

#include "../base64/base64.h"
#include "../recording/bytes.h"
#include "config_text.h"
#include "output_file.h"
#include "text.h"

namespace {

struct FrameKind {
    const char* key;
    int type, subtype, length;
    int sensor_id;  // fixed identifier in payload byte 0, or -1
    // Payload offset and width of each value field, in the order of the text.
    int fields;
    int offset[8];
    int width[8];
};

const FrameKind kKinds[] = {
    {"accel", 2, 0, 27, 0x13, 8, {1, 2, 3, 7, 11, 15, 19, 23}, {1, 1, 4, 4, 4, 4, 4, 4}},
    {"gyro", 2, 1, 27, 0x14, 8, {1, 2, 3, 7, 11, 15, 19, 23}, {1, 1, 4, 4, 4, 4, 4, 4}},
    {"baro", 2, 2, 2, 0x15, 1, {1}, {1}},
    {"device", 1, 1, 6, -1, 3, {0, 4, 5}, {4, 1, 1}},
    {"firmware", 1, 2, 6, -1, 3, {0, 2, 4}, {2, 2, 2}},
    {"radio", 1, 5, 2, -1, 2, {0, 1}, {1, 1}},
};

const FrameKind* find_kind(const std::string& key) {
    for (const FrameKind& k : kKinds) {
        if (key == k.key) return &k;
    }
    return nullptr;
}

}  // namespace

bool _assemble_config_frames(const std::string& text, std::vector<unsigned char>* frames) {
    unsigned char buf[kBlockSize];
    std::memset(buf, 0, sizeof buf);
    int p = 0;

    std::vector<std::string> sections;
    _split(text, ':', sections);
    for (const std::string& section : sections) {
        std::vector<std::string> fields;
        _split(section, ',', fields);
        if (fields.empty()) continue;  // an empty section has no key: nothing to write

        if (fields[0] == "unknownFrames") {
            // Raw frames carry their own magic and trailers; no value means no bytes.
            if (fields.size() < 2) continue;
            const std::string bytes = base64_decode(fields[1]);
            if (bytes.size() > static_cast<size_t>(kBlockSize - p)) return false;
            std::memcpy(buf + p, bytes.data(), bytes.size());
            p += static_cast<int>(bytes.size());
            continue;
        }

        const FrameKind* kind = find_kind(fields[0]);
        if (kind == nullptr) continue;  // unknown keys are skipped, not written half-set
        if (static_cast<int>(fields.size()) < 1 + kind->fields) return false;
        if (kind->length + 7 > kBlockSize - p) return false;
        for (int i = 0; i < kind->fields; ++i) {
            int32_t ignored;
            if (!_parse_number_field(fields[1 + i], &ignored)) return false;
        }

        unsigned char* f = buf + p;
        f[0] = 'K';
        f[1] = 'X';
        f[2] = static_cast<unsigned char>(kind->type);
        f[3] = static_cast<unsigned char>(kind->subtype);
        f[4] = static_cast<unsigned char>(kind->length);
        unsigned char* payload = f + 5;
        if (kind->sensor_id >= 0) payload[0] = static_cast<unsigned char>(kind->sensor_id);
        for (int i = 0; i < kind->fields; ++i) {
            _str_to_bytes(fields[1 + i], payload, kind->offset[i], kind->width[i]);
        }
        payload[kind->length] = 0xFF;
        payload[kind->length + 1] = 0xFE;
        p += kind->length + 7;
    }
    frames->assign(buf, buf + p);
    return true;
}

bool _write_config_file(const char* path, const std::string& text) {
    // Parse and assemble everything first: malformed text must not cost the old file.
    std::vector<unsigned char> frames;
    if (!_assemble_config_frames(text, &frames)) return false;

    OutputFile out;
    if (!out.open(path)) return false;
    if (!frames.empty() && !out.write(frames.data(), frames.size())) return false;
    return out.commit();
}
