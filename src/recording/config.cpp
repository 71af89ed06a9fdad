// Decoding of the configuration block (block 0): the header-frame scan and every frame kind.
#include <cstring>

#include "bytes.h"
#include "recording.h"

namespace {

// Full-scale values of the current sensor frames, indexed by range code.
int accel_range_from_code(int code) {
    static const int kTable[] = {2, 16, 4, 8};
    return code >= 0 && code < 4 ? kTable[code] : 4;
}

int gyro_range_from_code(int code) {
    static const int kTable[] = {245, 500, 1000, 2000, 125};
    return code >= 0 && code < 5 ? kTable[code] : 1000;
}

void read_date(kx_Config::DateStruct* date, const unsigned char* b) {
    date->second = b[0];
    date->minute = b[1];
    date->hour = b[2];
    date->day = b[3];
    date->month = b[4];
    date->year = static_cast<int32_t>(read_be16(b + 5));
}

// id, 16-bit frequency and 16-bit param: the layout shared by barometer, magnetometer and
// the auxiliary sensors.
template <typename Sensor>
void read_id_freq_param(Sensor* s, const unsigned char* b) {
    s->id = b[0];
    s->frequency = static_cast<int32_t>(read_be16(b + 1));
    s->param = static_cast<int32_t>(read_be16(b + 3));
    s->present = true;
}

void read_channel(kx_Config::ChannelConfig* c, const unsigned char* b) {
    c->id = b[0];
    c->frequency = static_cast<int32_t>(read_be16(b + 1));
    c->present = true;
}

void read_inertial_legacy(kx_Config::InertialConfig* s, const unsigned char* b) {
    s->id = b[0];
    s->present = true;
    s->frequency = b[1];
    s->range = b[2];
    s->offsetX = read_sbe32(b + 3);
    s->offsetY = read_sbe32(b + 7);
    s->offsetZ = read_sbe32(b + 11);
    s->gainX = read_sbe32(b + 15);
    s->gainY = read_sbe32(b + 19);
    s->gainZ = read_sbe32(b + 23);
}

void read_inertial(kx_Config::InertialConfig* s, const unsigned char* b, int range) {
    s->id = b[0];
    s->present = true;
    s->frequency = static_cast<int32_t>(read_be16(b + 1));
    s->range = range;
    s->offsetX = read_sbe32(b + 4) / 10000.0;
    s->offsetY = read_sbe32(b + 8) / 10000.0;
    s->offsetZ = read_sbe32(b + 12) / 10000.0;
    s->gainX = read_sbe32(b + 16) / 10000.0;
    s->gainY = read_sbe32(b + 20) / 10000.0;
    s->gainZ = read_sbe32(b + 24) / 10000.0;
    s->param = static_cast<int32_t>(read_be16(b + 28));
}

// Minimum payload length of a known frame, or -1 for an unknown type/subtype.
int minimum_length(int type, int subtype) {
    switch (type) {
        case 1:
            switch (subtype) {
                case 1:
                    return 6;
                case 2:
                    return 4;  // exactly 4 or 6, checked by the decoder
                case 5:
                    return 2;
                default:
                    return -1;
            }
        case 2:
            switch (subtype) {
                case 0:
                case 1:
                    return 27;
                case 2:
                    return 2;
                default:
                    return -1;
            }
        case 3: {
            static const int kMin[23] = {7, 4, 30, 30, 5, -1, 7,  5, 2, 9, 5, 4,
                                         4, 4, 4,  4,  3, 5,  21, 5, 5, 2, 3};
            return subtype >= 0 && subtype <= 22 ? kMin[subtype] : -1;
        }
        default:
            return -1;
    }
}

// Stores the fields of a known frame whose payload passed the minimum-length test.
// Returns false for a payload length the frame kind does not accept.
bool decode_frame(kx_Config* c, int type, int subtype, const unsigned char* b, int L) {
    if (type == 1) {
        switch (subtype) {
            case 1:
                c->deviceId = read_sbe32(b);
                c->deviceType = b[4];
                c->bodyLocation = b[5];
                c->hasDeviceInfo = true;
                return true;
            case 2:
                if (L == 6) {
                    c->version = static_cast<int32_t>(read_be16(b));
                    c->majorVersion = static_cast<int32_t>(read_be16(b + 2));
                    c->minorVersion = static_cast<int32_t>(read_be16(b + 4));
                } else if (L == 4) {
                    const int32_t n = read_sbe32(b);
                    if (n <= 999) {
                        c->version = n / 100;
                        c->majorVersion = (n % 100) / 10;
                        c->minorVersion = n % 10;
                    } else {
                        c->version = c->majorVersion = c->minorVersion = 0;
                    }
                } else {
                    return false;
                }
                c->hasDeviceInfo = true;
                return true;
            default:  // 5: basic radio frame
                c->radioMode = b[0];
                c->radioChannel = b[1];
                return true;
        }
    }
    if (type == 2) {
        switch (subtype) {
            case 0:
                read_inertial_legacy(&c->accel, b);
                return true;
            case 1:
                read_inertial_legacy(&c->gyro, b);
                return true;
            default:
                c->baro.id = b[0];
                c->baro.frequency = b[1];
                c->baro.present = true;
                return true;
        }
    }
    switch (subtype) {
        case 0:
            read_date(&c->createdAt, b);
            return true;
        case 1:
            c->measureParam1 = static_cast<int32_t>(read_be16(b));
            c->measureParam2 = b[2];
            c->measureParam3 = b[3];
            return true;
        case 2:
            read_inertial(&c->accel, b, accel_range_from_code(static_cast<signed char>(b[3])));
            return true;
        case 3:
            read_inertial(&c->gyro, b, gyro_range_from_code(static_cast<signed char>(b[3])));
            return true;
        case 4:
            read_id_freq_param(&c->baro, b);
            return true;
        case 6:
            read_date(&c->endDate, b);
            return true;
        case 7:
            if (L == 8) {
                c->gps.id = b[0];
                const uint32_t period_ms = read_be32(b + 1);
                // A period of 0 ms has no frequency; report 0 rather than infinity.
                c->gps.frequency = period_ms == 0 ? 0 : static_cast<int32_t>(1.0 / (period_ms * 0.001));
                c->gps.param = b[5];
                c->gps.param2 = static_cast<int32_t>(read_be16(b + 6));
            } else if (L == 5) {
                c->gps.id = b[0];
                c->gps.frequency = static_cast<int32_t>(read_be16(b + 1));
                c->gps.param2 = static_cast<int32_t>(read_be16(b + 3));
            } else {
                return false;
            }
            c->gps.present = true;
            return true;
        case 8:
            c->frequency = static_cast<int32_t>(read_be16(b));
            return true;
        case 9:
            c->radioMode = b[0];
            c->radioValue1 = read_be32(b + 1);
            c->radioValue2 = read_be32(b + 5);
            if (L >= 10) c->radioChannel = b[9];
            return true;
        case 10:
            read_id_freq_param(&c->mag, b);
            return true;
        case 11:
            c->accel.extra = read_sbe32(b);
            return true;
        case 12:
            c->gyro.extra = read_sbe32(b);
            return true;
        case 13:
            c->baro.extra = read_sbe32(b);
            return true;
        case 14:
            c->gps.extra = read_sbe32(b);
            return true;
        case 15:
            c->mag.extra = read_sbe32(b);
            return true;
        case 16:
            read_channel(&c->event, b);
            return true;
        case 17:
            c->radioSensor.id = b[0];
            c->radioSensor.frequency = static_cast<int32_t>(read_be16(b + 1));
            c->radioSensor.mode = b[3];
            c->radioSensor.channel = b[4];
            c->radioSensor.present = true;
            return true;
        case 18: {
            kx_Config::Settings18& s = c->settings18;
            s.value1 = b[0];
            s.value2 = static_cast<int32_t>(read_be16(b + 1));
            s.value3 = b[3];
            s.value4 = b[4];
            s.value5 = b[5];
            s.value6 = static_cast<int32_t>(read_be16(b + 6));
            s.value7 = read_sbe32(b + 8);
            s.value8 = b[12];
            s.value9 = b[13];
            s.value10 = b[14];
            s.value11 = static_cast<int32_t>(read_be16(b + 15));
            s.value12 = read_sbe32(b + 17);
            s.present = true;
            return true;
        }
        case 19:
            read_id_freq_param(&c->sensor19, b);
            return true;
        case 20:
            read_id_freq_param(&c->sensor20, b);
            return true;
        case 21:
            c->measureId = static_cast<int32_t>(read_be16(b));
            return true;
        default:
            read_channel(&c->event2, b);
            return true;  // 22
    }
}

// Runs the frame sequence of a block that starts with the magic at `start`.
void scan_frames(kx_Config* config, const unsigned char* block, int start) {
    int p = start;
    for (;;) {
        bool known = true;
        const int n = _readHeaderFrame(config, &known, block + p, kBlockSize - p);
        if (n < 0) return;
        if (!known) config->unknownFrames.insert(config->unknownFrames.end(), block + p, block + p + n);
        p += n;
    }
}

}  // namespace

int _readHeaderFrame(kx_Config* config, bool* known, const unsigned char* frame, int avail) {
    if (avail < 2 || frame[0] != 'K' || frame[1] != 'X') return -1;
    // A frame that does not fit in what is left of the block ends the sequence: its bytes
    // beyond the block were never read.
    if (avail < 5) return -1;
    const int type = frame[2];
    const int subtype = frame[3];
    const int L = frame[4];
    if (L + 7 > avail) return -1;

    const int min = minimum_length(type, subtype);
    if (min < 0) {
        *known = false;
    } else if (L < min || !decode_frame(config, type, subtype, frame + 5, L)) {
        config->frameError = true;
    }
    return L + 7;
}

bool _readConfig(kx_Config* config, const unsigned char* block) {
    // The first frame must begin at offset 507 at the latest.
    for (int p = 0; p <= kBlockSize - 5; ++p) {
        if (block[p] == 'K' && block[p + 1] == 'X') {
            scan_frames(config, block, p);
            return true;
        }
    }
    return false;
}

kx_DecodeError _kx_decodeConfig(kx_Config* config, std::ifstream& in) {
    if (!in.is_open()) return kx_DecodeError::unreadable;
    unsigned char block[kBlockSize];
    std::memset(block, 0, sizeof block);
    in.read(reinterpret_cast<char*>(block), kBlockSize);
    in.close();
    // A file shorter than a block reaches its end early; the missing bytes count as zero.
    if (!in.good() && !in.eof()) return kx_DecodeError::unreadable;
    return _readConfig(config, block) ? kx_DecodeError::none : kx_DecodeError::notARecording;
}

bool _kx_readConfig(kx_Config* config, std::ifstream& in) {
    return _kx_decodeConfig(config, in) == kx_DecodeError::none;
}

template <typename CharT>
bool kx_readConfig(kx_Config* config, const CharT* path) {
    std::ifstream in;
    if (_kx_openRecording(in, path) != kx_DecodeError::none) return false;
    return _kx_readConfig(config, in);
}

template bool kx_readConfig<char>(kx_Config* config, const char* path);
