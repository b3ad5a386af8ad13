// TJA1145 register work: register access over two-byte SPI transfers, identification, the
// preparation, the four modes with the partial-networking wake-up frame, and the status and
// event reports. Everything here goes through a chip_port, so that it runs the same against
// spidev and against a chip in memory.
#pragma once

#include <array>
#include <cstdint>

#include "trxset/options.hpp"

namespace trxset {

enum class stream : std::uint8_t { out, err };

// The selected chip as the register work sees it.
struct chip_port {
    void* context;
    // One two-byte transfer; returns the second byte received. It does not return when the
    // transfer fails.
    std::uint8_t (*transfer)(void* context, std::uint8_t byte0, std::uint8_t byte1);
    // One message, written as it is to the stream.
    void (*print)(void* context, stream where, const char* text);
};

// Register addresses (7 bits).
namespace reg {
inline constexpr std::uint8_t mode = 0x01;
inline constexpr std::uint8_t main_status = 0x03;
inline constexpr std::uint8_t can_control = 0x20;
inline constexpr std::uint8_t transceiver_status = 0x22;
inline constexpr std::uint8_t wake_source = 0x23;
inline constexpr std::uint8_t data_rate = 0x26;
inline constexpr std::uint8_t id0 = 0x27;    // to 0x2A
inline constexpr std::uint8_t mask0 = 0x2B;  // to 0x2E
inline constexpr std::uint8_t frame_control = 0x2F;
inline constexpr std::uint8_t wake_pin = 0x4C;
inline constexpr std::uint8_t global_event = 0x60;
inline constexpr std::uint8_t system_event = 0x61;
inline constexpr std::uint8_t transceiver_event = 0x63;
inline constexpr std::uint8_t wake_pin_event = 0x64;
inline constexpr std::uint8_t data_mask0 = 0x68;  // to 0x6F
inline constexpr std::uint8_t identification = 0x7E;
}  // namespace reg

// Values written to those registers.
namespace mode_value {  // reg::mode, bits 2-0
inline constexpr std::uint8_t sleep = 0x01;
inline constexpr std::uint8_t standby = 0x04;
inline constexpr std::uint8_t normal = 0x07;
inline constexpr std::uint8_t mask = 0x07;
}  // namespace mode_value
namespace can_control_value {  // reg::can_control
inline constexpr std::uint8_t offline = 0x00;
inline constexpr std::uint8_t active = 0x01;      // CMC = 01: Active mode
inline constexpr std::uint8_t wake_frame = 0x30;  // CPNC and PNCOK: selective wake-up on
}  // namespace can_control_value
namespace wake_source_value {  // reg::wake_source
inline constexpr std::uint8_t none = 0x00;
inline constexpr std::uint8_t can_wake_up = 0x01;  // CWE
}  // namespace wake_source_value
namespace wake_pin_value {  // reg::wake_pin
inline constexpr std::uint8_t off = 0x00;
inline constexpr std::uint8_t rising_edge = 0x02;  // WPRE
}  // namespace wake_pin_value

// The modes of -m, as the usage text numbers them.
enum user_mode : int {
    identify_only = 0,
    sleep_wake_on_any_frame = 1,
    normal_mode = 2,
    sleep_wake_on_frame = 3,  // the wake-up frame of -w
    sleep_wake_on_pin = 4,
};

// Chip-select levels: bit 0, 1 and 2 of the transceiver number on CS_D0, CS_D1 and CS_D2.
inline constexpr int transceiver_count = 6;
inline constexpr std::array<std::uint8_t, transceiver_count * 3> chip_select_levels{
    0, 0, 0,  //
    1, 0, 0,  //
    0, 1, 0,  //
    1, 1, 0,  //
    0, 0, 1,  //
    1, 0, 1,  //
};

std::uint8_t reg_read(const chip_port& port, std::uint8_t address);
void reg_write(const chip_port& port, std::uint8_t address, std::uint8_t value);
// 0 when the register reads back the value, 1 (after a message) otherwise.
int reg_write_verify(const chip_port& port, std::uint8_t address, std::uint8_t value);
// 0 when the register ends up 0, otherwise the value it keeps.
std::uint8_t reg_clear(const chip_port& port, std::uint8_t address);

// Prints what was found; false when the chip is not a TJA1145.
bool identify_transceiver(const chip_port& port, int transceiver);

int set_wake_source(const chip_port& port, std::uint8_t value);

// False, after a message, for a mode other than 0 (none) and 1 to 4.
bool mode_accepted(const chip_port& port, int mode);

struct programming {
    bool prepared;      // false: the preparation failed and the run ends with status 1
    int result;         // 0 or 1
    bool force_status;  // an event kept the chip awake: report the status as if asked
};
programming program_transceiver(const chip_port& port, const trx_options& options);

// Returns 1 when an alarm shows, otherwise `result`.
int report_status(const chip_port& port, int mode, int result);
// 0 when no event that counts was captured, otherwise 1.
int report_events(const chip_port& port);

}  // namespace trxset
