// The configuration answers: readConfig and readConfigDeviceId as compact JSON.
#include <string>

#include "../common/config_text.h"
#include "../common/json_builder.h"
#include "../common/text.h"
#include "binreader2.h"

std::string BinReader2::readConfig(const char* path) {
    kx_Config config;
    if (kx_decodeConfig(path, &config) != kx_DecodeError::none) return "";

    JsonObject o;
    _config_members_JSON(&o, config);
    o.string("createdAt", _date_to_string(config.createdAt));
    o.string("endDate", _date_to_string(config.endDate));
    o.number("frequency", config.frequency);
    o.number("measureId", config.measureId);
    return o.close();
}

std::string BinReader2::readConfigDeviceId(const char* path) {
    kx_Config config;
    if (kx_decodeConfig(path, &config) != kx_DecodeError::none) return "";
    JsonObject o;
    o.number("deviceId", config.deviceId);
    return o.close();
}
