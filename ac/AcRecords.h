// Records of the AC distribution unit. They are copied byte for byte into the
// unit's history record, which the host keeps for years and hands back on a
// restart, so their layouts are a stored format: packed, little-endian,
// floats as the monitoring unit sends them.
#pragma once

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)

// The unit record: phase currents, breaker states, status and alarm bytes.
//   AIRLOCK  the most breaker states the record holds
//   P43      the number of user-defined status bytes
template <std::uint8_t AIRLOCK, std::uint8_t P43>
struct tele_c_pmbuspower_ac {
    static constexpr std::uint8_t AIRLOCK_MAX() { return AIRLOCK; }
    static constexpr std::uint8_t P40_43_SIZE() { return P43; }

    std::uint32_t data_id;
    float ia;
    float ib;
    float ic;
    std::uint8_t channel_count;
    std::uint8_t airlock_count;
    std::uint8_t airlock_state[AIRLOCK];
    std::uint8_t status_p_count;
    std::uint8_t status_p[P43];
    std::uint8_t ia_alert;
    std::uint8_t ib_alert;
    std::uint8_t ic_alert;
    std::uint8_t ttime[7];
};

// One AC input channel: three voltages, the frequency and their alarm states.
//   P41  user-defined analog values per channel (floats after p_count)
//   P44  user-defined alarm bytes per channel
template <std::uint8_t P41, std::uint8_t P44>
struct tele_c_pmbuspower_ac_channel {
    static constexpr std::uint8_t P40_41_SIZE() { return P41; }
    static constexpr std::uint8_t p40_44_SIZE() { return P44; }

    float a;
    float b;
    float c;
    float f;
    std::uint8_t p_count;
    float p_value[P41];
    std::uint8_t a_state;
    std::uint8_t b_state;
    std::uint8_t c_state;
    std::uint8_t f_state;
    std::uint8_t alert_p_count;
    std::uint8_t alert_p[P44];
};

// Without user-defined analog values the states follow p_count directly (a
// zero-length array is not C++).
template <std::uint8_t P44>
struct tele_c_pmbuspower_ac_channel<0, P44> {
    static constexpr std::uint8_t P40_41_SIZE() { return 0; }
    static constexpr std::uint8_t p40_44_SIZE() { return P44; }

    float a;
    float b;
    float c;
    float f;
    std::uint8_t p_count;
    std::uint8_t a_state;
    std::uint8_t b_state;
    std::uint8_t c_state;
    std::uint8_t f_state;
    std::uint8_t alert_p_count;
    std::uint8_t alert_p[P44];
};

#pragma pack(pop)

using tele_c_ravo3_ac = tele_c_pmbuspower_ac<8, 3>;
using tele_c_ravo3_ac_channel = tele_c_pmbuspower_ac_channel<0, 8>;

static_assert(sizeof(float) == 4, "records carry IEEE-754 single-precision values");
static_assert(alignof(tele_c_ravo3_ac) == 1 && alignof(tele_c_ravo3_ac_channel) == 1,
              "records are byte-packed");

static_assert(sizeof(tele_c_ravo3_ac) == 40, "AC unit record is 40 bytes");
static_assert(tele_c_ravo3_ac::AIRLOCK_MAX() == 8, "breaker states held");
static_assert(tele_c_ravo3_ac::P40_43_SIZE() == 3, "user-defined status bytes");
static_assert(offsetof(tele_c_ravo3_ac, data_id) == 0, "data_id");
static_assert(offsetof(tele_c_ravo3_ac, ia) == 4, "ia");
static_assert(offsetof(tele_c_ravo3_ac, ib) == 8, "ib");
static_assert(offsetof(tele_c_ravo3_ac, ic) == 12, "ic");
static_assert(offsetof(tele_c_ravo3_ac, channel_count) == 16, "channel_count");
static_assert(offsetof(tele_c_ravo3_ac, airlock_count) == 17, "airlock_count");
static_assert(offsetof(tele_c_ravo3_ac, airlock_state) == 18, "airlock_state");
static_assert(offsetof(tele_c_ravo3_ac, status_p_count) == 26, "status_p_count");
static_assert(offsetof(tele_c_ravo3_ac, status_p) == 27, "status_p");
static_assert(offsetof(tele_c_ravo3_ac, ia_alert) == 30, "ia_alert");
static_assert(offsetof(tele_c_ravo3_ac, ib_alert) == 31, "ib_alert");
static_assert(offsetof(tele_c_ravo3_ac, ic_alert) == 32, "ic_alert");
static_assert(offsetof(tele_c_ravo3_ac, ttime) == 33, "ttime");

static_assert(sizeof(tele_c_ravo3_ac_channel) == 30, "AC channel record is 30 bytes");
static_assert(tele_c_ravo3_ac_channel::P40_41_SIZE() == 0, "user-defined analog values");
static_assert(tele_c_ravo3_ac_channel::p40_44_SIZE() == 8, "user-defined alarm bytes");
static_assert(offsetof(tele_c_ravo3_ac_channel, a) == 0, "a");
static_assert(offsetof(tele_c_ravo3_ac_channel, b) == 4, "b");
static_assert(offsetof(tele_c_ravo3_ac_channel, c) == 8, "c");
static_assert(offsetof(tele_c_ravo3_ac_channel, f) == 12, "f");
static_assert(offsetof(tele_c_ravo3_ac_channel, p_count) == 16, "p_count");
static_assert(offsetof(tele_c_ravo3_ac_channel, a_state) == 17, "a_state");
static_assert(offsetof(tele_c_ravo3_ac_channel, b_state) == 18, "b_state");
static_assert(offsetof(tele_c_ravo3_ac_channel, c_state) == 19, "c_state");
static_assert(offsetof(tele_c_ravo3_ac_channel, f_state) == 20, "f_state");
static_assert(offsetof(tele_c_ravo3_ac_channel, alert_p_count) == 21, "alert_p_count");
static_assert(offsetof(tele_c_ravo3_ac_channel, alert_p) == 22, "alert_p");
