// Byte readers and writers for the recording format: explicit shifts, never pointer casts.
// Every caller checks the length before reading.
#pragma once

#include <cstdint>

inline uint32_t read_u8(const unsigned char* p) {
    return p[0];
}

inline uint32_t read_be16(const unsigned char* p) {
    return (static_cast<uint32_t>(p[0]) << 8) | p[1];
}

inline int32_t read_sbe16(const unsigned char* p) {
    return static_cast<int16_t>(static_cast<uint16_t>(read_be16(p)));
}

inline uint32_t read_be32(const unsigned char* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

inline int32_t read_sbe32(const unsigned char* p) {
    return static_cast<int32_t>(read_be32(p));
}

inline uint32_t read_le24(const unsigned char* p) {
    return p[0] | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16);
}

inline int32_t read_sle16(const unsigned char* p) {
    return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
}

// Stores the low `count` bytes (1, 2 or 4) of `value` big-endian at p.
inline void write_be(unsigned char* p, uint32_t value, int count) {
    for (int i = 0; i < count; ++i) {
        p[i] = static_cast<unsigned char>(value >> (8 * (count - 1 - i)));
    }
}
