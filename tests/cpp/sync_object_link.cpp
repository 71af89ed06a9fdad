// Links against sync-object.o alone and synchronises two recordings built in memory; exits
// non-zero when the result is not the expected window.
#include <cmath>
#include <cstdio>
#include <vector>

#include "sync/sync.h"

namespace {

// A 3-axis stream at rate_hz starting at t0_s; sample i has the value i on every axis.
kx_DataSensor ramp(size_t length, double rate_hz, double t0_s) {
    kx_DataSensor s(3, length);
    for (size_t i = 0; i < length; ++i) {
        s.time[i] = t0_s + static_cast<double>(i) / rate_hz;
        for (size_t c = 0; c < 3; ++c) s.data[c * length + i] = static_cast<double>(i);
    }
    return s;
}

int fail(const char* what) {
    std::fprintf(stderr, "sync_object_link: %s\n", what);
    return 1;
}

}  // namespace

int main() {
    // Two devices at 100 Hz: the master and one whose radio clock runs 0.5 s ahead of its
    // local time, so its first sample lies 0.5 s after the master's on the common base.
    kx_Config master, other;
    for (kx_Config* c : {&master, &other}) {
        c->frequency = 100;
        c->accel.frequency = 100;
        c->gyro.frequency = 100;
        c->radioSensor.mode = 1;
        c->radioSensor.channel = 3;
    }
    master.radioSensor.mode = 0;

    kx_SensorMap a, b;
    a[KX_ACCEL] = ramp(1000, 100.0, 0.01);
    a[KX_GYRO] = ramp(1000, 100.0, 0.01);
    b[KX_ACCEL] = ramp(1000, 100.0, 0.01);
    b[KX_GYRO] = ramp(1000, 100.0, 0.01);
    kx_DataSensor radio(1, 1);
    radio.time[0] = 0.01;
    radio.data[0] = 0.51;
    b[KX_RADIO_TIME] = radio;

    kx_SyncedMaps synced;
    const bool ok = kx_sync(synced.maps, {&master, &other}, {&a, &b});

    if (!ok || synced.maps.size() != 2) return fail("kx_sync refused two synchronisable recordings");
    const kx_DataSensor& ma = synced.maps[0]->at(KX_ACCEL);
    const kx_DataSensor& mb = synced.maps[1]->at(KX_ACCEL);
    // The master loses its first 50 samples; both keep floor(100 x 9.5) = 950.
    if (ma.length != 950 || mb.length != 950) return fail("wrong common length");
    if (ma.data[0] != 50.0 || mb.data[0] != 0.0) return fail("wrong first kept sample");
    if (std::fabs(ma.time[0] - mb.time[0]) > 1e-9) return fail("first samples do not line up");
    std::printf("sync-object: two recordings synchronised, %zu samples each from t = %.2f s\n", ma.length,
                ma.time[0]);
    return 0;
}
