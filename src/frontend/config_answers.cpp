// The configuration answers: readConfig and readConfigDeviceId as compact JSON.
#include <string>

#include "../common/config_text.h"
#include "../common/json_builder.h"
#include "../common/text.h"
#include "binreader2.h"
#include "table_columns.h"

std::string BinReader2::readConfig(const char* path) {
    kx_Config config;
    if (kx_decodeConfig(path, &config) != kx_DecodeError::none) return "";

    return _generate_config_JSON(config);
}

std::string BinReader2::readConfigDeviceId(const char* path) {
    kx_Config config;
    if (kx_decodeConfig(path, &config) != kx_DecodeError::none) return "";
    JsonObject o;
    o.number("deviceId", config.deviceId);
    return o.close();
}
