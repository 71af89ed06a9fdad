// The named streams and answers that the typed-array and columnar outputs share.
#include "table_columns.h"

#include <cstring>

#include "../common/config_text.h"
#include "../common/json_builder.h"
#include "../common/text.h"
#include "../pipeline/pipeline.h"
#include "binreader2.h"

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

const DataStreamKind* data_stream_kind(const std::string& name) {
    for (const DataStreamKind& kind : kDataStreams) {
        if (name == kind.name) return &kind;
    }
    return nullptr;
}

std::vector<DataStreamView> data_streams(const kx_Config& config, kx_SensorMap* sensors) {
    std::vector<DataStreamView> views;
    for (const DataStreamKind& kind : kDataStreams) {
        const auto it = sensors->find(kind.sensor);
        if (it == sensors->end()) continue;
        kx_DataSensor& s = it->second;
        const size_t values = static_cast<size_t>(kind.components) * s.length;
        if (s.length == 0 || s.dimension < static_cast<size_t>(kind.components) || s.data.size() < values ||
            s.time.size() < s.length)
            continue;
        s.data.resize(values);
        s.time.resize(s.length);
        views.push_back({&kind, data_stream_rate(config, kind.sensor), s.length, &s.time, &s.data});
    }
    return views;
}

namespace {

// The readData name of the stream behind a column's cells, or null (Time).
std::string stream_name_json(const TableColumn& column) {
    if (column.stream == nullptr) return "null";
    for (const DataStreamKind& kind : kDataStreams) {
        if (kind.sensor == column.stream->sensor_id) return json_string(kind.name);
    }
    return "null";
}

std::string member_json(const kx_SourceMember& member) {
    JsonObject o;
    o.raw("file", json_string(member.path));
    o.raw("config", _generate_config_JSON(member.config));
    o.raw("summary", _generate_read_answer_JSON(&member.config));
    o.number("frequency", member.config.frequency);
    o.raw("rows", json_number(static_cast<double>(member.layout.rows)));
    o.number("firstTick", 1);  // row r is the running time of r + 1 base ticks
    o.raw("shift", json_number(member.shift_s));
    o.raw("rowZeroTime", json_number(member.row_zero_s));
    std::string magnetometer = "null";
    if (member.magnetometer_samples != 0) {
        JsonObject mag;
        mag.number("rate", data_stream_rate(member.config, KX_MAG));
        mag.raw("samples", json_number(static_cast<double>(member.magnetometer_samples)));
        magnetometer = mag.close();
    }
    o.raw("magnetometer", magnetometer);
    std::vector<std::string> columns;
    for (const TableColumn& c : table_columns(member.layout)) {
        JsonObject col;
        col.raw("name", json_string(c.name));
        col.raw("single", c.single ? "true" : "false");
        col.raw("cells", c.cells ? "true" : "false");
        col.raw("stream", stream_name_json(c));
        col.number("component", c.component);
        columns.push_back(col.close());
    }
    o.raw("columns", json_array(columns));
    JsonObject streams;
    for (const DataStreamKind& kind : kDataStreams) {
        kx_MemberStream s;
        if (!kx_memberStream(member, kind.sensor, &s)) continue;
        JsonObject stream;
        stream.raw("samples", json_number(static_cast<double>(s.samples)));
        stream.number("rate", data_stream_rate(member.config, kind.sensor));
        stream.raw("carried", s.carried ? "true" : "false");
        if (s.spanned) {
            stream.raw("first", json_number(s.first_s));
            stream.raw("last", json_number(s.last_s));
        }
        streams.raw(kind.name, stream.close());
    }
    o.raw("streams", streams.close());
    // The readings of the converter's end codes: { range, x: [low end, high end], y, z }.
    JsonObject full_scale;
    for (const auto& sensor : {std::make_pair("accel", &member.config.accel), std::make_pair("gyro", &member.config.gyro)}) {
        if (!sensor.second->present) continue;
        const kx_FullScale f = kx_fullScale(*sensor.second);
        JsonObject axes;
        axes.number("range", f.range);
        static const char* const kAxes[] = {"x", "y", "z"};
        for (int k = 0; k < 3; ++k) axes.raw(kAxes[k], json_array({json_number(f.low[k]), json_number(f.high[k])}));
        full_scale.raw(sensor.first, axes.close());
    }
    o.raw("fullScale", full_scale.close());
    return o.close();
}

}  // namespace

std::string kx_describeSource(kx_Source& source, kx_SourceError error, bool as_set, size_t paths) {
    JsonObject o;
    if (error != kx_SourceError::none) {
        o.raw("code", json_string(kx_sourceErrorCode(error)));
        o.raw("path", json_string(source.error_path()));
        if (paths > 1 || as_set) o.raw("status", json_string(_sync_status(error)));
        if (error == kx_SourceError::tooManyRows) o.raw("rows", json_number(static_cast<double>(source.error_rows())));
        return o.close();
    }
    std::vector<std::string> members;
    for (size_t m = 0; m < source.size(); ++m) members.push_back(member_json(source.member(m)));
    o.raw("members", json_array(members));
    o.raw("seekable", "true");  // ranges may go back: members keep checkpoints
    if (source.is_set() && source.size() != 0)
        o.raw("method", json_string(kx_syncMethodName(kx_syncMethod(source.member(0).config))));
    return o.close();
}
