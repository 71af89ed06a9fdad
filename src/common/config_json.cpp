// The configuration members of both readers' JSON answers.
#include <cmath>
#include <string>

#include "../base64/base64.h"
#include "config_text.h"
#include "json_builder.h"

namespace {

// Offsets and gains are reported truncated toward zero; they come from 32-bit fields, but a
// value outside the int32 range must not become undefined behaviour.
int64_t truncate_to_int32(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return 2147483647;
    if (v <= -2147483648.0) return -2147483648LL;
    return static_cast<int32_t>(v);
}

std::string inertial_object(const kx_Config::InertialConfig& s) {
    JsonObject o;
    o.number("frequency", s.frequency);
    o.number("range", s.range);
    o.number("offsetX", truncate_to_int32(s.offsetX));
    o.number("offsetY", truncate_to_int32(s.offsetY));
    o.number("offsetZ", truncate_to_int32(s.offsetZ));
    o.number("gainX", truncate_to_int32(s.gainX));
    o.number("gainY", truncate_to_int32(s.gainY));
    o.number("gainZ", truncate_to_int32(s.gainZ));
    return o.close();
}

std::string frequency_object(int32_t frequency) {
    JsonObject o;
    o.number("frequency", frequency);
    return o.close();
}

}  // namespace

void _config_members_JSON(JsonObject* json, const kx_Config& config) {
    JsonObject& o = *json;
    o.string("unknownFrames", base64_encode(config.unknownFrames.data(),
                                            static_cast<unsigned int>(config.unknownFrames.size())));
    if (config.gyro.present) o.raw("gyro", inertial_object(config.gyro));
    if (config.accel.present) o.raw("accel", inertial_object(config.accel));
    if (config.baro.present) o.raw("baro", frequency_object(config.baro.frequency));
    if (config.gps.present) o.raw("gps", frequency_object(config.gps.frequency));
    if (config.hasDeviceInfo) {
        o.number("deviceId", config.deviceId);
        o.number("deviceType", config.deviceType);
        o.number("bodyLocation", config.bodyLocation);
        o.number("version", config.version);
        o.number("majorVersion", config.majorVersion);
        o.number("minorVersion", config.minorVersion);
        o.number("radioMode", config.radioMode);
        o.number("radioChannel", config.radioChannel);
    }
}
