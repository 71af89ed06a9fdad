// The named streams and answers that the typed-array and columnar outputs share.
#include "table_columns.h"

#include <cstring>

#include "../common/config_text.h"
#include "../common/json_builder.h"
#include "../common/text.h"

const DataStreamKind kDataStreams[kDataStreamCount] = {
    {"accel", KX_ACCEL, 3, {"x", "y", "z"}},
    {"gyro", KX_GYRO, 3, {"x", "y", "z"}},
    {"baro", KX_BARO, 2, {"pressure", "temperature"}},
    {"mag", KX_MAG, 3, {"x", "y", "z"}},
    {"quaternion", KX_QUATERNION, 4, {"w", "x", "y", "z"}},
    {"events", KX_EVENT, 1, {"value"}},
    {"events2", KX_EVENT2, 1, {"value"}},
    {"radioTime", KX_RADIO_TIME, 1, {"value"}},
};

int32_t data_stream_rate(const kx_Config& c, int sensor) {
    switch (sensor) {
        case KX_ACCEL:
            return c.accel.frequency;
        case KX_GYRO:
        case KX_QUATERNION:
            return c.gyro.frequency;
        case KX_BARO:
            return c.baro.frequency;
        case KX_MAG:
            return c.mag.frequency;
        case KX_EVENT:
            return c.event.frequency;
        case KX_EVENT2:
            return c.event2.frequency;
        case KX_RADIO_TIME:
            return c.radioSensor.frequency;
        default:
            return 0;
    }
}

std::string _generate_config_JSON(const kx_Config& config) {
    JsonObject o;
    _config_members_JSON(&o, config);
    o.string("createdAt", _date_to_string(config.createdAt));
    o.string("endDate", _date_to_string(config.endDate));
    o.number("frequency", config.frequency);
    o.number("measureId", config.measureId);
    return o.close();
}

