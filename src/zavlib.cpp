// The library core, in the order the data flows:
// port table -> packet send/receive -> servo image -> read, write, sync.
// Devices are reached through device.h, the process's services (locks,
// clock) through platform.h; the core includes no operating-system header.
#include "zavlib.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "device.h"
#include "platform.h"

// ---------------------------------------------------------------------------
// Records

// The ten virtual registers of one servo; a field's offset is its register
// address, and block reads copy these bytes straight out.
struct ServoImage {
    uint8_t id;
    uint8_t torque_enable;
    uint8_t goal_position[2]; // low byte first
    uint8_t sc2_value;
    uint8_t sc1_value;
    uint8_t present_position[2]; // low byte first
    uint8_t sc3_value;
    uint8_t sc4_value;
};
static_assert(sizeof(ServoImage) == ZAV_REGISTER_COUNT, "servo image is ten packed bytes");
static_assert(offsetof(ServoImage, goal_position) == ZAV_REG_GOAL_POSITION, "register map");
static_assert(offsetof(ServoImage, present_position) == ZAV_REG_PRESENT_POSITION, "register map");
static_assert(offsetof(ServoImage, sc4_value) == ZAV_REG_SC4_VALUE, "register map");

constexpr uint8_t kMaxServoId = ZAV_ID_MAX;
constexpr int kServoCount = kMaxServoId + 1;

// The settings are atomics: their setters may run while other threads exchange
// on the port. Each exchange reads each of them once (ExchangeSettings).
struct PortRecord {
    char port_name[32];
    std::atomic<int32_t> baudrate;
    std::atomic<int32_t> timeout_offset;
    device::Device device;
    platform::Lock baud_lock;
    platform::Lock servo_lock;
    ServoImage servos[kServoCount];
};

static constexpr int kPortSlots = 256;
static constexpr std::size_t kStoredNameLength = ZAV_PORT_NAME_LENGTH;
static constexpr int32_t kDefaultTimeoutOffsetMs = ZAV_DEFAULT_TIMEOUT_OFFSET_MS;

static PortHandle ComInfo[kPortSlots];
static platform::Lock Tpcs;
static int64_t sysfreq = 1;
static std::atomic<uint8_t> EchoCancel{1};

// Lock-free on every target, so the DLLs need no atomics library.
static_assert(std::atomic<int32_t>::is_always_lock_free, "settings need lock-free 32-bit atomics");
static_assert(std::atomic<uint8_t>::is_always_lock_free, "settings need lock-free 8-bit atomics");

static void store_status(StatusWord *status, unsigned flag) {
    if (status != nullptr) *status = static_cast<StatusWord>(flag);
}

static void add_status(StatusWord *status, unsigned flag) {
    if (status != nullptr) *status = static_cast<StatusWord>(*status | flag);
}

static bool is_open(const PortRecord *port) { return port->device != device::kInvalidDevice; }

static uint16_t get_word(const uint8_t bytes[2]) {
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

static void put_word(uint8_t bytes[2], uint16_t value) {
    bytes[0] = static_cast<uint8_t>(value & 0xFF);
    bytes[1] = static_cast<uint8_t>(value >> 8);
}

// Handle checks shared by every call that takes a StatusWord.
static bool check_port(PortHandle handle, StatusWord *status) {
    if (handle == nullptr) {
        store_status(status, ERR_HANDLE);
        return false;
    }
    if (!is_open(handle)) {
        store_status(status, ERR_PORT);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Library load and unload

void zav_library_load() {
    platform::lock_init(&Tpcs);
    sysfreq = platform::counter_frequency();
    for (PortHandle &slot : ComInfo) slot = nullptr;
}

void zav_library_unload() {
    for (PortHandle slot : ComInfo) {
        if (slot != nullptr) ZAV_ClosePort(slot);
    }
    platform::lock_destroy(&Tpcs);
}

// ---------------------------------------------------------------------------
// Port table

// Empties the record's slot, closes its device and frees it. A record whose
// open failed never had its locks created, so they are not destroyed then.
static bool release_record(PortHandle handle, bool locks_created) {
    platform::lock_enter(&Tpcs);
    int slot = -1;
    if (handle != nullptr) {
        for (int i = 0; i < kPortSlots; ++i) {
            if (ComInfo[i] == handle) {
                slot = i;
                break;
            }
        }
    }
    if (slot < 0) {
        platform::lock_leave(&Tpcs);
        return false;
    }
    ComInfo[slot] = nullptr;
    if (is_open(handle)) {
        device::purge(handle->device, device::Purge::kAbortAll);
        device::close(handle->device);
    }
    if (locks_created) {
        platform::lock_destroy(&handle->baud_lock);
        platform::lock_destroy(&handle->servo_lock);
    }
    std::free(handle);
    platform::lock_leave(&Tpcs);
    return true;
}

extern "C" PortHandle ZAV_CALL ZAV_OpenPort(const char *name, int32_t baudrate) {
    // A rate of 0 has no reply time-out; refuse it before touching anything.
    if (name == nullptr || baudrate == 0) return nullptr;

    platform::lock_enter(&Tpcs);
    // Opening a name that is already open closes the earlier handle first.
    for (PortHandle slot : ComInfo) {
        if (slot != nullptr && std::strcmp(slot->port_name, name) == 0) {
            ZAV_ClosePort(slot);
            break;
        }
    }

    int free_slot = -1;
    for (int i = 0; i < kPortSlots; ++i) {
        if (ComInfo[i] == nullptr) {
            free_slot = i;
            break;
        }
    }
    if (free_slot < 0) {
        platform::lock_leave(&Tpcs);
        return nullptr;
    }
    auto *port = static_cast<PortRecord *>(std::calloc(1, sizeof(PortRecord)));
    if (port == nullptr) {
        platform::lock_leave(&Tpcs);
        return nullptr;
    }
    ComInfo[free_slot] = port;
    for (int i = 0; i < kServoCount; ++i) port->servos[i].id = static_cast<uint8_t>(i);
    std::strncpy(port->port_name, name, kStoredNameLength);
    port->device = device::kInvalidDevice;

    port->device = device::open(name);
    bool configured = false;
    if (is_open(port)) {
        configured = device::configure(port->device, static_cast<uint32_t>(baudrate));
        device::purge(port->device, device::Purge::kBoth);
    }
    if (!configured) {
        platform::lock_leave(&Tpcs);
        release_record(port, false);
        return nullptr;
    }
    platform::lock_init(&port->baud_lock);
    platform::lock_init(&port->servo_lock);
    port->timeout_offset.store(kDefaultTimeoutOffsetMs, std::memory_order_relaxed);
    port->baudrate.store(baudrate, std::memory_order_relaxed);
    platform::lock_leave(&Tpcs);
    return port;
}

extern "C" ZavBool ZAV_CALL ZAV_ClosePort(PortHandle handle) { return release_record(handle, true); }

extern "C" ZavBool ZAV_CALL ZAV_Active(PortHandle handle) {
    if (handle == nullptr) return 0;
    return device::query(handle->device);
}

extern "C" ZavBool ZAV_CALL ZAV_SetBaudrate(PortHandle handle, int32_t baudrate) {
    if (handle == nullptr || !is_open(handle) || baudrate == 0) return 0;
    platform::lock_enter(&handle->baud_lock);
    device::purge(handle->device, device::Purge::kBoth);
    bool accepted = device::change_baud(handle->device, static_cast<uint32_t>(baudrate));
    // Kept even when the device refused it: the reply time-outs follow the record.
    handle->baudrate.store(baudrate, std::memory_order_relaxed);
    platform::lock_leave(&handle->baud_lock);
    return accepted;
}

extern "C" void ZAV_CALL ZAV_SetTimeOutOffset(PortHandle handle, int32_t offset_ms) {
    if (handle != nullptr && is_open(handle))
        handle->timeout_offset.store(offset_ms, std::memory_order_relaxed);
}

extern "C" void ZAV_CALL ZAV_SetEchoCancel(uint32_t enable) {
    EchoCancel.store(static_cast<uint8_t>(enable & 0xFF), std::memory_order_relaxed);
}

extern "C" double ZAV_CALL GetQueryPerformanceCounter(void) {
    return static_cast<double>(platform::counter_now()) / static_cast<double>(sysfreq) * 1000.0;
}

// ---------------------------------------------------------------------------
// Packet send and receive

static constexpr uint32_t kMaxPacketData = ZAV_PACKET_MAX_DATA;
static constexpr uint32_t kEchoTimeoutMs = ZAV_ECHO_TIMEOUT_MS;

extern "C" ZavBool ZAV_CALL ZAV_TxPacket(PortHandle handle, uint32_t id, int32_t command,
                                         const uint8_t *data, uint32_t length,
                                         StatusWord *status) {
    if (!check_port(handle, status)) return 0;
    const uint32_t servo = id & 0xFF;
    if (servo > kMaxServoId) {
        store_status(status, ERR_ID);
        return 0;
    }
    // The packet buffer holds the command byte and at most kMaxPacketData data bytes.
    if (length > kMaxPacketData || (length > 0 && data == nullptr)) {
        store_status(status, ERR_ADDRESS);
        return 0;
    }
    uint8_t packet[kMaxPacketData + 1];
    packet[0] = static_cast<uint8_t>((static_cast<uint32_t>(command) << ZAV_COMMAND_SHIFT) + servo);
    if (length > 0) std::memcpy(packet + 1, data, length);

    device::clear_line_errors(handle->device);
    device::purge(handle->device, device::Purge::kReceive);
    if (!device::write(handle->device, packet, length + 1)) {
        store_status(status, ERR_PORT);
        return 0;
    }
    if (EchoCancel.load(std::memory_order_relaxed) == 0 || !is_open(handle)) return 1;

    // A one-wire line hands every sent byte back; take it out of the way of the
    // reply. Its outcome is not reported.
    uint8_t echo[kMaxPacketData + 1];
    uint32_t echoed = 0;
    device::read(handle->device, echo, length + 1, &echoed, kEchoTimeoutMs);
    return 1;
}

extern "C" ZavBool ZAV_CALL ZAV_RxPacket(PortHandle handle, uint8_t *buffer, uint32_t count,
                                         uint32_t *got, uint32_t timeout_ms,
                                         StatusWord *status) {
    if (handle == nullptr) {
        store_status(status, ERR_HANDLE);
        return 0;
    }
    if (!is_open(handle) || buffer == nullptr) {
        store_status(status, ERR_PORT);
        return 0;
    }
    if (count == 0) {
        store_status(status, ERR_REPLY);
        return 0;
    }
    // An all-zero total time-out would wait forever on some systems.
    const uint32_t timeout = timeout_ms == 0 ? 1 : timeout_ms;
    uint32_t received = 0;
    const bool ok = device::read(handle->device, buffer, count, &received, timeout);
    if (got != nullptr) *got = received;
    if (ok && received == count) return 1;
    store_status(status, ERR_TIMEOUT);
    return 0;
}

// ---------------------------------------------------------------------------
// Servo image and position exchange

static constexpr double kReplyKLong = ZAV_REPLY_K_LONG;
static constexpr double kReplyKShort = ZAV_REPLY_K_SHORT;
static constexpr uint32_t kReplyLength = ZAV_REPLY_LENGTH;

// The port settings as one exchange uses them, each read once, both as
// unsigned 32-bit numbers: a setter running meanwhile on another thread
// changes the next exchange, never half of this one.
struct ExchangeSettings {
    uint32_t baudrate;
    uint32_t timeout_offset;

    explicit ExchangeSettings(const PortRecord *port)
        : baudrate(static_cast<uint32_t>(port->baudrate.load(std::memory_order_relaxed))),
          timeout_offset(static_cast<uint32_t>(port->timeout_offset.load(std::memory_order_relaxed))) {}

    // Reply time-out in ms: offset + k / baud, truncated toward zero
    // (saturated rather than wrapped past 32 bits).
    uint32_t reply_timeout(double k) const {
        const double ms = static_cast<double>(timeout_offset) + k / static_cast<double>(baudrate);
        if (ms >= 4294967295.0) return 0xFFFFFFFFu;
        return static_cast<uint32_t>(ms);
    }
};

// One request packet and its three-byte reply.
static bool exchange(PortRecord *port, const ExchangeSettings &settings, uint8_t id,
                     int32_t command, const uint8_t *data, uint32_t length, double k,
                     uint8_t reply[kReplyLength], StatusWord *status) {
    if (!ZAV_TxPacket(port, id, command, data, length, status)) return false;
    uint32_t got = 0;
    return ZAV_RxPacket(port, reply, kReplyLength, &got, settings.reply_timeout(k), status) != 0;
}

static bool _WritePos(PortRecord *port, uint8_t id, uint16_t position, StatusWord *status) {
    const ExchangeSettings settings(port);
    // Servo 0 answers otherwise at exactly one rate.
    const uint8_t expected =
        (id == 0 && settings.baudrate == ZAV_ID0_ALT_REPLY_BAUD) ? static_cast<uint8_t>(ZAV_ID0_ALT_REPLY) : id;
    const uint8_t data[2] = {static_cast<uint8_t>((position >> 7) & 0x7F),
                             static_cast<uint8_t>(position & 0x7F)};
    uint8_t reply[kReplyLength];
    if (!exchange(port, settings, id, CMD_POSITION, data, 2, kReplyKLong, reply, status))
        return false;
    if (reply[0] != expected) {
        add_status(status, ERR_REPLY);
        return false;
    }
    ServoImage &image = port->servos[id];
    image.torque_enable = position != 0 ? 1 : 0;
    put_word(image.goal_position, position);
    put_word(image.present_position, static_cast<uint16_t>(reply[1] * 128 + (reply[2] & 0x7F)));
    return true;
}

// The position that re-asserts a servo's state: its goal while held, else 0.
static uint16_t holding_position(const ServoImage &image) {
    return image.torque_enable != 0 ? get_word(image.goal_position) : 0;
}

static bool refresh_position(PortRecord *port, uint8_t id, StatusWord *status) {
    return _WritePos(port, id, holding_position(port->servos[id]), status);
}

extern "C" ZavBool ZAV_CALL ZAV_Ping(PortHandle handle, uint8_t id, StatusWord *status) {
    if (!check_port(handle, status)) return 0;
    platform::lock_enter(&handle->servo_lock);
    store_status(status, 0);
    bool ok = false;
    if (id > kMaxServoId) {
        store_status(status, ERR_ID);
    } else {
        ok = refresh_position(handle, id, status);
    }
    platform::lock_leave(&handle->servo_lock);
    return ok;
}

bool zav_peek_image(PortHandle handle, uint8_t id, uint8_t out[ZAV_REGISTER_COUNT]) {
    if (handle == nullptr || id > kMaxServoId) return false;
    std::memcpy(out, &handle->servos[id], ZAV_REGISTER_COUNT);
    return true;
}

// ---------------------------------------------------------------------------
// Block read

// Sub-code 3 is sign and magnitude.
static uint8_t decode_sc3(uint8_t v) {
    const int magnitude = v & ZAV_SC3_MAGNITUDE_MASK;
    return static_cast<uint8_t>((v & ZAV_SC3_SIGN_BIT) != 0 ? -magnitude : magnitude);
}

// Sub-code 4: the header's conversion, truncated toward zero, limited to a byte
// (the product is exact; the division and the offset are rounded in double).
static uint8_t decode_sc4(uint8_t v) {
    const double x = static_cast<double>((ZAV_SC4_ORIGIN - v) * ZAV_SC4_SCALE_NUM) / ZAV_SC4_SCALE_DEN + ZAV_SC4_OFFSET;
    long value = static_cast<long>(x);
    if (value > INT8_MAX) value = INT8_MAX;
    if (value < INT8_MIN) value = INT8_MIN;
    return static_cast<uint8_t>(value);
}

struct ParamRead {
    uint8_t subcode;
    double k;
    uint8_t reply0_mask; // bits of reply[0] compared with ZAV_READ_REPLY_BASE + id
    bool check_subcode;
    std::size_t target; // register address
    uint8_t (*convert)(uint8_t);
};

static uint8_t as_received(uint8_t v) { return v; }

static const ParamRead kReadSc2 = {ZAV_SUBCODE_SC2, kReplyKLong, 0xFF, true, ZAV_REG_SC2_VALUE, as_received};
static const ParamRead kReadSc1 = {ZAV_SUBCODE_SC1, kReplyKShort, 0xFF, true, ZAV_REG_SC1_VALUE, as_received};
static const ParamRead kReadSc3 = {ZAV_SUBCODE_SC3, kReplyKShort, 0x7F, false, ZAV_REG_SC3_VALUE, decode_sc3};
static const ParamRead kReadSc4 = {ZAV_SUBCODE_SC4, kReplyKShort, 0xFF, false, ZAV_REG_SC4_VALUE, decode_sc4};

static uint8_t *image_bytes(ServoImage &image) { return reinterpret_cast<uint8_t *>(&image); }

static bool read_param(PortRecord *port, uint8_t id, const ParamRead &param, StatusWord *status) {
    uint8_t reply[kReplyLength];
    if (!exchange(port, ExchangeSettings(port), id, CMD_READ_PARAM, &param.subcode, 1, param.k,
                  reply, status))
        return false;
    const uint8_t expected = static_cast<uint8_t>(ZAV_READ_REPLY_BASE + id);
    if ((reply[0] & param.reply0_mask) != expected ||
        (param.check_subcode && reply[1] != param.subcode)) {
        add_status(status, ERR_REPLY);
        return false;
    }
    image_bytes(port->servos[id])[param.target] = param.convert(reply[2]);
    return true;
}

extern "C" ZavBool ZAV_CALL ZAV_ReadBlockData(PortHandle handle, uint8_t id, uint8_t address,
                                              uint8_t *data, uint32_t length,
                                              StatusWord *status) {
    if (!check_port(handle, status)) return 0;
    if (id > kMaxServoId) {
        store_status(status, ERR_ID);
        return 0;
    }
    if (length == 0 || static_cast<uint64_t>(address) + length > ZAV_REGISTER_COUNT ||
        data == nullptr) {
        store_status(status, ERR_ADDRESS);
        return 0;
    }
    platform::lock_enter(&handle->servo_lock);
    store_status(status, 0);

    const unsigned first = address;
    const unsigned last = first + length - 1;
    auto covers = [&](unsigned reg) { return first <= reg && reg <= last; };
    bool ok = true;
    if (first == 0) ok = refresh_position(handle, id, status);
    if (ok && covers(ZAV_REG_SC2_VALUE)) ok = read_param(handle, id, kReadSc2, status);
    if (ok && covers(ZAV_REG_SC1_VALUE)) ok = read_param(handle, id, kReadSc1, status);
    if (ok && covers(ZAV_REG_PRESENT_POSITION) && covers(ZAV_REG_PRESENT_POSITION + 1))
        ok = refresh_position(handle, id, status);
    if (ok && covers(ZAV_REG_SC3_VALUE)) ok = read_param(handle, id, kReadSc3, status);
    if (ok && covers(ZAV_REG_SC4_VALUE)) ok = read_param(handle, id, kReadSc4, status);
    if (ok) std::memcpy(data, image_bytes(handle->servos[id]) + first, length);

    platform::lock_leave(&handle->servo_lock);
    return ok;
}

extern "C" ZavBool ZAV_CALL ZAV_ReadWordData(PortHandle handle, uint8_t id, uint8_t address,
                                             uint16_t *value, StatusWord *status) {
    return ZAV_ReadBlockData(handle, id, address, reinterpret_cast<uint8_t *>(value), 2, status);
}

extern "C" ZavBool ZAV_CALL ZAV_ReadByteData(PortHandle handle, uint8_t id, uint8_t address,
                                             uint8_t *value, StatusWord *status) {
    return ZAV_ReadBlockData(handle, id, address, value, 1, status);
}

// ---------------------------------------------------------------------------
// Block write

static constexpr uint16_t kMinGoal = ZAV_GOAL_MIN;
static constexpr uint16_t kMaxGoal = ZAV_GOAL_MAX;
static constexpr uint8_t kBroadcastLastId = ZAV_BROADCAST_LAST_ID;

// The arguments of one ZAV_WriteBlockData call, as write_block_data sees them.
struct WriteCall {
    PortRecord *port;
    unsigned address;
    const uint8_t *data;
    unsigned length;
    StatusWord *status;

    bool covers(unsigned reg) const { return address <= reg && reg < address + length; }
    uint8_t byte(unsigned reg) const { return data[reg - address]; }
};

static bool write_param(const WriteCall &call, uint8_t id, uint8_t subcode, uint8_t value,
                        uint8_t *target) {
    if (static_cast<int8_t>(value) <= 0) {
        add_status(call.status, ERR_WRITE);
        return false;
    }
    const uint8_t request[2] = {subcode, value};
    uint8_t reply[kReplyLength];
    if (!exchange(call.port, ExchangeSettings(call.port), id, CMD_WRITE_PARAM, request, 2,
                  kReplyKLong, reply, call.status))
        return false;
    if (reply[0] != ZAV_WRITE_REPLY_BASE + id || reply[1] != subcode || reply[2] != value) {
        add_status(call.status, ERR_REPLY);
        return false;
    }
    *target = value;
    return true;
}

// Writes the covered writable registers of one servo; each step's outcome
// replaces the last, so the result is that of the last step that ran.
static bool write_block_data(const WriteCall &call, uint8_t id) {
    PortRecord *port = call.port;
    ServoImage &image = port->servos[id];
    bool result = false;

    if (call.covers(ZAV_REG_SC2_VALUE))
        result = write_param(call, id, ZAV_SUBCODE_SC2, call.byte(ZAV_REG_SC2_VALUE), &image.sc2_value);
    if (call.covers(ZAV_REG_SC1_VALUE))
        result = write_param(call, id, ZAV_SUBCODE_SC1, call.byte(ZAV_REG_SC1_VALUE), &image.sc1_value);

    if (call.covers(ZAV_REG_TORQUE_ENABLE)) {
        if (call.byte(ZAV_REG_TORQUE_ENABLE) == 0) {
            result = _WritePos(port, id, 0, call.status);
        } else if (image.torque_enable != 0) {
            result = _WritePos(port, id, get_word(image.goal_position), call.status);
        } else {
            // Take hold where the servo stands: learn its position, then hold it.
            result = _WritePos(port, id, 0, call.status) &&
                     _WritePos(port, id, get_word(image.present_position), call.status);
        }
    }

    if (call.covers(ZAV_REG_GOAL_POSITION) && call.covers(ZAV_REG_GOAL_POSITION + 1)) {
        const unsigned goal = call.byte(ZAV_REG_GOAL_POSITION) +
                              256u * call.byte(ZAV_REG_GOAL_POSITION + 1);
        if (goal < kMinGoal || goal > kMaxGoal) {
            store_status(call.status, ERR_WRITE);
            return false;
        }
        // A goal sent to a released servo is not kept for later.
        result = image.torque_enable == 0 ||
                 _WritePos(port, id, static_cast<uint16_t>(goal), call.status);
    }
    return result;
}

extern "C" ZavBool ZAV_CALL ZAV_WriteBlockData(PortHandle handle, uint8_t id, uint8_t address,
                                               const uint8_t *data, uint32_t length,
                                               StatusWord *status) {
    if (!check_port(handle, status)) return 0;
    if (length == 0 || static_cast<uint64_t>(address) + length > ZAV_REGISTER_COUNT ||
        data == nullptr) {
        store_status(status, ERR_ADDRESS);
        return 0;
    }
    if (id != BROADCAST_ID && id > kMaxServoId) {
        store_status(status, ERR_ID);
        return 0;
    }
    platform::lock_enter(&handle->servo_lock);
    store_status(status, 0);

    const WriteCall call = {handle, address, data, length, status};
    bool result = true;
    if (id == BROADCAST_ID) {
        for (uint8_t servo = 0; servo <= kBroadcastLastId; ++servo) {
            if (!write_block_data(call, servo)) {
                add_status(status, ERR_WRITE);
                break;
            }
        }
    } else if (!write_block_data(call, id)) {
        add_status(status, ERR_WRITE);
        result = false;
    }

    platform::lock_leave(&handle->servo_lock);
    return result;
}

extern "C" ZavBool ZAV_CALL ZAV_WriteWordData(PortHandle handle, uint8_t id, uint8_t address,
                                              uint16_t value, StatusWord *status) {
    uint8_t bytes[2];
    put_word(bytes, value);
    return ZAV_WriteBlockData(handle, id, address, bytes, 2, status);
}

extern "C" ZavBool ZAV_CALL ZAV_WriteByteData(PortHandle handle, uint8_t id, uint8_t address,
                                              uint8_t value, StatusWord *status) {
    return ZAV_WriteBlockData(handle, id, address, &value, 1, status);
}

// ---------------------------------------------------------------------------
// Sync write

static constexpr uint32_t kMinSyncLength = ZAV_SYNC_MIN_LENGTH;
static constexpr uint32_t kMaxSyncLength = ZAV_SYNC_MAX_LENGTH;

extern "C" ZavBool ZAV_CALL ZAV_WriteSyncData(PortHandle handle, const uint8_t *data,
                                              uint32_t length, StatusWord *status) {
    if (!check_port(handle, status)) return 0;
    platform::lock_enter(&handle->servo_lock);
    store_status(status, 0);

    bool accepted = length >= kMinSyncLength && length <= kMaxSyncLength && data != nullptr;
    const uint32_t per_servo = accepted ? data[1] : 0;
    if (accepted) accepted = 3 * ((length - ZAV_SYNC_HEADER_LENGTH) / (per_servo + 1)) < length;
    if (!accepted) {
        store_status(status, ERR_ADDRESS);
        platform::lock_leave(&handle->servo_lock);
        return 0;
    }

    // Each record's block write starts its own status word; the caller's word
    // collects them all, so a record that went through cannot hide the flags
    // of an earlier one (a broadcast record goes on after servos failed).
    StatusWord collected = 0;
    const uint8_t address = data[0];
    for (uint32_t offset = ZAV_SYNC_HEADER_LENGTH; offset < length; offset += per_servo + 1) {
        // A record cut short by the block's end is not written, nor read past it.
        if (offset + 1 + per_servo > length) {
            collected = static_cast<StatusWord>(collected | ERR_ADDRESS);
            break;
        }
        StatusWord record = 0;
        const bool written = ZAV_WriteBlockData(handle, data[offset], address,
                                                data + offset + 1, per_servo, &record);
        collected = static_cast<StatusWord>(collected | record);
        if (!written) break;
    }
    store_status(status, collected);

    platform::lock_leave(&handle->servo_lock);
    return 1;
}
