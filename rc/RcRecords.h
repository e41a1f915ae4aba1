// Records of the rectifier unit. Their bytes are copied unchanged into the
// unit's history record, which the host keeps for years and hands back at
// start, so the layouts below are a stored format: packed, byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)

// The whole rectifier block. P42_46_N user-defined DC parameters are expected,
// P42_46_S bytes of them are kept.
template <std::uint8_t P42_46_N, std::uint8_t P42_46_S>
struct tele_c_pmbuspower_rc {
    static constexpr std::uint8_t P42_46_NUMBER() { return P42_46_N; }
    static constexpr std::uint8_t P42_46_SIZE() { return P42_46_S; }

    std::uint8_t data_id[4];  // least significant byte first
    std::uint8_t ac_param[20];
    std::uint8_t dc_param[8];
    std::uint8_t dc_user_count;
    std::uint8_t dc_user_param[P42_46_S];
    std::uint8_t group_value[4];
    std::uint8_t channel_count;  // always the number of channel records held
    std::uint8_t ttime[7];
};

// One rectifier module: A user-defined analog values, S user-defined status
// bytes and L user-defined alarm bytes are expected per module.
template <std::uint8_t A, std::uint8_t S, std::uint8_t L>
struct tele_c_pmbuspower_rc_channel {
    static constexpr std::uint8_t P41_41_SIZE() { return A; }
    static constexpr std::uint8_t P41_43_SIZE() { return S; }
    static constexpr std::uint8_t P41_44_SIZE() { return L; }

    std::uint8_t module_value[4];
    std::uint8_t analog_count;  // as received, also when not A
    std::uint8_t analog_user[4 * A];
    std::uint8_t status[3];
    std::uint8_t status_count;  // as received, also when not S
    std::uint8_t status_user[S];
    std::uint8_t fault;        // 1: the module is faulty
    std::uint8_t alarm_count;  // as received, also when not L
    // module fault, fan fault, over-temperature (1 = alarm each),
    // communication state (0xE2 = module lost)
    std::uint8_t alarm_user[L];
};

#pragma pack(pop)

struct tele_c_ravo3_rc : tele_c_pmbuspower_rc<9, 36> {};
struct tele_c_ravo3_rc_channel : tele_c_pmbuspower_rc_channel<4, 1, 4> {};

static_assert(sizeof(tele_c_ravo3_rc) == 81, "rectifier group record is 81 bytes");
static_assert(alignof(tele_c_ravo3_rc) == 1, "rectifier group record is packed");
static_assert(offsetof(tele_c_ravo3_rc, data_id) == 0, "data_id at 0");
static_assert(offsetof(tele_c_ravo3_rc, ac_param) == 4, "ac_param at 4");
static_assert(offsetof(tele_c_ravo3_rc, dc_param) == 24, "dc_param at 24");
static_assert(offsetof(tele_c_ravo3_rc, dc_user_count) == 32, "dc_user_count at 32");
static_assert(offsetof(tele_c_ravo3_rc, dc_user_param) == 33, "dc_user_param at 33");
static_assert(offsetof(tele_c_ravo3_rc, group_value) == 69, "group_value at 69");
static_assert(offsetof(tele_c_ravo3_rc, channel_count) == 73, "channel_count at 73");
static_assert(offsetof(tele_c_ravo3_rc, ttime) == 74, "ttime at 74");
static_assert(tele_c_ravo3_rc::P42_46_NUMBER() == 9 && tele_c_ravo3_rc::P42_46_SIZE() == 36,
              "nine user-defined DC parameters, 36 bytes");

static_assert(sizeof(tele_c_ravo3_rc_channel) == 32, "rectifier channel record is 32 bytes");
static_assert(alignof(tele_c_ravo3_rc_channel) == 1, "rectifier channel record is packed");
static_assert(offsetof(tele_c_ravo3_rc_channel, module_value) == 0, "module_value at 0");
static_assert(offsetof(tele_c_ravo3_rc_channel, analog_count) == 4, "analog_count at 4");
static_assert(offsetof(tele_c_ravo3_rc_channel, analog_user) == 5, "analog_user at 5");
static_assert(offsetof(tele_c_ravo3_rc_channel, status) == 21, "status at 21");
static_assert(offsetof(tele_c_ravo3_rc_channel, status_count) == 24, "status_count at 24");
static_assert(offsetof(tele_c_ravo3_rc_channel, status_user) == 25, "status_user at 25");
static_assert(offsetof(tele_c_ravo3_rc_channel, fault) == 26, "fault at 26");
static_assert(offsetof(tele_c_ravo3_rc_channel, alarm_count) == 27, "alarm_count at 27");
static_assert(offsetof(tele_c_ravo3_rc_channel, alarm_user) == 28, "alarm_user at 28");
static_assert(tele_c_ravo3_rc_channel::P41_41_SIZE() == 4 &&
                  tele_c_ravo3_rc_channel::P41_43_SIZE() == 1 &&
                  tele_c_ravo3_rc_channel::P41_44_SIZE() == 4,
              "4 analog, 1 status and 4 alarm user values per module");
