// The DC distribution unit's record: its decoded answers, its snapshot and its
// history record in one. The layout is a stored format: history records written
// years ago must still load, so every size and offset is checked below.
#pragma once

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)

// M, N, P: slots of the M, N and user-defined analog values (answer 0x42/0x41);
// ALERT_M, ALERT_P: slots of the fuse and user-defined alarm states (0x42/0x44).
// Multi-byte fields keep the bytes as the line carried them (little-endian);
// every 4-byte value is an IEEE 754 single.
template <std::uint8_t M, std::uint8_t N, std::uint8_t P, std::uint8_t ALERT_M,
          std::uint8_t ALERT_P>
struct tele_c_pmbuspower_dc {
    static constexpr std::uint8_t M_SIZE() { return M; }
    static constexpr std::uint8_t N_SIZE() { return N; }
    static constexpr std::uint8_t P_SIZE() { return P; }
    static constexpr std::uint8_t ALERT_M_SIZE() { return ALERT_M; }
    static constexpr std::uint8_t ALERT_P_SIZE() { return ALERT_P; }

    unsigned char data_id[4];
    unsigned char v[4];  // DC output voltage
    unsigned char i[4];  // total load current
    // The counts hold what the answer announced, also beyond the slots: bound
    // them by the slot number before indexing.
    unsigned char dc_m;
    unsigned char m_value[M][4];
    unsigned char dc_n;
    unsigned char n_value[N][4];
    unsigned char p_count;
    unsigned char user_p[P][4];
    unsigned char v_state;  // 1 output voltage too low, 2 too high
    unsigned char alert_m_count;
    unsigned char alert_m[ALERT_M];  // one state per battery fuse, 3 = fault
    unsigned char alert_p_count;
    unsigned char alert_p[ALERT_P];
    unsigned char ttime[7];  // get_ttime() of the last cycle end
};

#pragma pack(pop)

using tele_c_ravo3_dc = tele_c_pmbuspower_dc<2, 6, 2, 64, 13>;

static_assert(sizeof(tele_c_pmbuspower_dc<1, 1, 1, 1, 1>) == 25 + 4 * 3 + 2,
              "record size is 25 + 4 * (M + N + P) + ALERT_M + ALERT_P");
static_assert(sizeof(tele_c_ravo3_dc) == 142, "DC history record is 142 bytes");
static_assert(alignof(tele_c_ravo3_dc) == 1, "DC record is packed");
static_assert(tele_c_ravo3_dc::M_SIZE() == 2 && tele_c_ravo3_dc::N_SIZE() == 6 &&
                  tele_c_ravo3_dc::P_SIZE() == 2 && tele_c_ravo3_dc::ALERT_M_SIZE() == 64 &&
                  tele_c_ravo3_dc::ALERT_P_SIZE() == 13,
              "DC record limits");
static_assert(offsetof(tele_c_ravo3_dc, data_id) == 0, "data_id");
static_assert(offsetof(tele_c_ravo3_dc, v) == 4, "v");
static_assert(offsetof(tele_c_ravo3_dc, i) == 8, "i");
static_assert(offsetof(tele_c_ravo3_dc, dc_m) == 12, "dc_m");
static_assert(offsetof(tele_c_ravo3_dc, m_value) == 13, "m_value");
static_assert(offsetof(tele_c_ravo3_dc, dc_n) == 21, "dc_n");
static_assert(offsetof(tele_c_ravo3_dc, n_value) == 22, "n_value");
static_assert(offsetof(tele_c_ravo3_dc, p_count) == 46, "p_count");
static_assert(offsetof(tele_c_ravo3_dc, user_p) == 47, "user_p");
static_assert(offsetof(tele_c_ravo3_dc, v_state) == 55, "v_state");
static_assert(offsetof(tele_c_ravo3_dc, alert_m_count) == 56, "alert_m_count");
static_assert(offsetof(tele_c_ravo3_dc, alert_m) == 57, "alert_m");
static_assert(offsetof(tele_c_ravo3_dc, alert_p_count) == 121, "alert_p_count");
static_assert(offsetof(tele_c_ravo3_dc, alert_p) == 122, "alert_p");
static_assert(offsetof(tele_c_ravo3_dc, ttime) == 135, "ttime");
