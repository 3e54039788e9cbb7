-- Wireshark dissector for servo-bus captures written by the library
-- (`capture=FILE` on any device, `zavctl --capture`) and by `zavsim
-- --capture`: pcap, link type 147 (USER0), one record per chunk of bytes as
-- it was written or read, behind an 8-byte header (src/capture_file.h):
--
--   offset 0  version     1
--   offset 1  direction   0: host to bus, 1: bus to host, 2: a note about the capture
--   offset 2  flags       bit 0: recorded on the simulator's side
--   offset 3  reserved
--   offset 4  baud rate   unsigned 32-bit, big-endian (0: unknown)
--
-- A capture that ended normally ends in the note "end of capture: N records";
-- one without it stopped early (a write failed, or the recording program was
-- killed), which the dissector marks on the last frame.
--
-- Use:  wireshark -X lua_script:tools/wireshark/zavbus.lua FILE.pcap
--       tshark -2 -X lua_script:tools/wireshark/zavbus.lua -r FILE.pcap -Y zavbus
-- (or copy the file into Wireshark's personal Lua plugins folder).
--
-- The host sends a command packet (command byte = command * 32 + id, then the
-- data bytes); a one-wire line hands the packet back as an echo; the servo
-- answers with three bytes. Bytes are split across records as the operating
-- system delivered them, so the dissector follows both byte streams and
-- matches every reply to its request. A request whose reply never came in
-- full is marked as a time-out (on the next request at once, and on the
-- request itself once the whole file has been read: tshark -2, or Wireshark).

local zavbus = Proto("zavbus", "Servo bus")

-- The bus's facts: the C header's names (include/zavlib.h, without the ZAV_
-- prefix) and values. scripts/check_facts.py compares them with the header.
local FACTS = {
    CMD_POSITION = 4,
    CMD_READ_PARAM = 5,
    CMD_WRITE_PARAM = 6,
    COMMAND_SHIFT = 5,
    SUBCODE_SC1 = 1,
    SUBCODE_SC2 = 2,
    SUBCODE_SC3 = 3,
    SUBCODE_SC4 = 4,
    REPLY_LENGTH = 3,
    ID0_ALT_REPLY_BAUD = 115200,
    ID0_ALT_REPLY = 0x80,
    READ_REPLY_BASE = 0x20,
    WRITE_REPLY_BASE = 0x40,
    SC3_SIGN_BIT = 0x40,
    SC3_MAGNITUDE_MASK = 0x3F,
    SC4_ORIGIN = 127,
    SC4_SCALE_NUM = 9,
    SC4_SCALE_DEN = 11,
    SC4_OFFSET = 41.55,
}
local POSITION, READ, WRITE = FACTS.CMD_POSITION, FACTS.CMD_READ_PARAM, FACTS.CMD_WRITE_PARAM
local ID_SPAN = math.floor(2 ^ FACTS.COMMAND_SHIFT) -- command byte = command * ID_SPAN + id

local COMMANDS = { [POSITION] = "position", [READ] = "read parameter", [WRITE] = "write parameter" }
local DATA_LENGTH = { [POSITION] = 2, [READ] = 1, [WRITE] = 2 }
local KINDS = { request = "request", echo = "echo", reply = "reply", stray = "stray" }

local f = zavbus.fields
f.version = ProtoField.uint8("zavbus.version", "Capture header version")
f.direction = ProtoField.uint8("zavbus.direction", "Direction", base.DEC, { [0] = "host to bus", [1] = "bus to host", [2] = "note" })
f.simulator = ProtoField.bool("zavbus.simulator_side", "Recorded on the simulator's side")
f.baud = ProtoField.uint32("zavbus.baud", "Baud rate")
f.kind = ProtoField.string("zavbus.kind", "Kind")
f.command = ProtoField.uint8("zavbus.command", "Command", base.DEC, COMMANDS)
f.id = ProtoField.uint8("zavbus.id", "Servo id")
f.data = ProtoField.bytes("zavbus.data", "Data")
f.goal = ProtoField.uint16("zavbus.goal", "Goal position (0: release)")
f.subcode = ProtoField.uint8("zavbus.subcode", "Sub-code")
f.value = ProtoField.uint8("zavbus.value", "Value")
f.present = ProtoField.uint16("zavbus.present", "Present position")
f.reading = ProtoField.int16("zavbus.reading", "Reading (decoded)")
f.request_in = ProtoField.framenum("zavbus.request_in", "Request in frame", base.NONE, frametype.REQUEST)
f.response_in = ProtoField.framenum("zavbus.response_in", "Reply in frame", base.NONE, frametype.RESPONSE)
f.time = ProtoField.double("zavbus.time", "Reply time (ms from the request)")
f.no_reply = ProtoField.bool("zavbus.no_reply", "No reply (time-out)")
f.wrong_reply = ProtoField.bool("zavbus.wrong_reply", "Reply does not match the request")
f.note = ProtoField.string("zavbus.note", "Note")

local e_no_reply = ProtoExpert.new("zavbus.expert.no_reply", "No reply (time-out)", expert.group.RESPONSE_CODE, expert.severity.WARN)
local e_wrong = ProtoExpert.new("zavbus.expert.wrong_reply", "Reply does not match the request", expert.group.MALFORMED, expert.severity.ERROR)
local e_stray = ProtoExpert.new("zavbus.expert.stray", "Bytes with no request waiting (a late reply?)", expert.group.SEQUENCE, expert.severity.WARN)
local e_echo = ProtoExpert.new("zavbus.expert.echo_mismatch", "Echo differs from the packet sent", expert.group.MALFORMED, expert.severity.ERROR)
local e_unknown = ProtoExpert.new("zavbus.expert.unknown_command", "Not a command the servos know", expert.group.MALFORMED, expert.severity.WARN)
local e_late = ProtoExpert.new("zavbus.expert.late_reply", "Late reply to an earlier request", expert.group.SEQUENCE, expert.severity.WARN)
local e_cut = ProtoExpert.new("zavbus.expert.capture_cut_short", "The capture stopped early: it does not end in its end note", expert.group.SEQUENCE, expert.severity.WARN)
zavbus.experts = { e_no_reply, e_wrong, e_stray, e_echo, e_unknown, e_late, e_cut }

-- ---------------------------------------------------------------------------
-- Stream state, built on the first pass in frame order.

local frames       -- frame number -> list of items found in that record
local requests     -- every request, in order
local current      -- the request whose echo and reply are being collected
local building     -- a request packet split across host records
local echo_mode    -- nil until learned: does the line echo?
local last_frame   -- the highest frame number seen, and whether it was the end note
local ended

function zavbus.init()
    frames, requests, current, building, echo_mode = {}, {}, nil, nil, nil
    last_frame, ended = 0, false
end

local function trunc(x) return x >= 0 and math.floor(x) or math.ceil(x) end

-- Readings as the library decodes them: sub-code 3 sign and magnitude,
-- sub-code 4 the header's conversion, truncated and kept within a byte.
local function decode_reading(subcode, v)
    if subcode == FACTS.SUBCODE_SC3 then
        local magnitude = v % (FACTS.SC3_MAGNITUDE_MASK + 1)
        return (math.floor(v / FACTS.SC3_SIGN_BIT) % 2 == 1) and -magnitude or magnitude
    elseif subcode == FACTS.SUBCODE_SC4 then
        local x = trunc((FACTS.SC4_ORIGIN - v) * FACTS.SC4_SCALE_NUM / FACTS.SC4_SCALE_DEN + FACTS.SC4_OFFSET)
        return math.max(-128, math.min(127, x))
    end
    return nil
end

local function item(frame, entry)
    frames[frame] = frames[frame] or {}
    table.insert(frames[frame], entry)
    return entry
end

-- Whether reply r answers req, checked as the library checks it.
local function answers(req, r, baud)
    local id = req.id
    if req.command == POSITION then
        return r[1] == ((id == 0 and baud == FACTS.ID0_ALT_REPLY_BAUD) and FACTS.ID0_ALT_REPLY or id)
    elseif req.command == READ then
        local first = req.subcode == FACTS.SUBCODE_SC3 and (r[1] % 128) or r[1] -- bit 7 not examined
        local sub_ok = (req.subcode ~= FACTS.SUBCODE_SC1 and req.subcode ~= FACTS.SUBCODE_SC2) or r[2] == req.subcode
        return first == FACTS.READ_REPLY_BASE + id and sub_ok
    elseif req.command == WRITE then
        return r[1] == FACTS.WRITE_REPLY_BASE + id and r[2] == req.subcode and r[3] == req.value
    end
    return true
end

-- Decodes a complete reply and checks it; a reply that does not fit its
-- request but fits the unanswered one before it is that one's late reply.
local function judge(req, baud)
    local r = req.reply
    if req.command == POSITION then req.present = r[2] * 128 + (r[3] % 128) end
    if req.command == READ then req.reading = decode_reading(req.subcode, r[3]) end
    if answers(req, r, baud) then return true end
    local before = requests[#requests - 1]
    if before and before ~= req and before.no_reply and answers(before, r, baud) then req.late_of = before end
    return false
end

local function start_request(frame, offset, bytes, time)
    local cmd = math.floor(bytes[1] / ID_SPAN)
    local req = {
        frame = frame, offset = offset, bytes = bytes, command = cmd, id = bytes[1] % ID_SPAN,
        time = time, echo_got = 0, reply = {}, complete = false, echo_entries = {},
    }
    if cmd == POSITION and #bytes == 3 then
        req.goal = (bytes[2] % 128) * 128 + (bytes[3] % 128)
    elseif (cmd == READ or cmd == WRITE) and #bytes >= 2 then
        req.subcode = bytes[2]
        if cmd == WRITE and #bytes == 3 then req.value = bytes[3] end
    end
    if current and not current.complete then
        current.no_reply = true
        item(frame, { kind = "timeout_note", req = current, offset = offset })
    end
    current = req
    table.insert(requests, req)
    item(frame, { kind = "request", req = req, offset = offset, length = #bytes })
end

local function host_bytes(frame, tvb, time)
    local n = tvb:len()
    local i = 0
    while i < n do
        local b = tvb(i, 1):uint()
        if building == nil then
            local length = DATA_LENGTH[math.floor(b / ID_SPAN)]
            if length == nil then
                -- Not a known command: the rest of the record as one packet.
                local bytes = {}
                for k = i, n - 1 do table.insert(bytes, tvb(k, 1):uint()) end
                start_request(frame, i, bytes, time)
                current.unknown = true
                return
            end
            building = { frame = frame, offset = i, bytes = { b }, need = length + 1 }
        else
            table.insert(building.bytes, b)
        end
        if #building.bytes == building.need then
            start_request(frame, building.offset, building.bytes, time)
            building = nil
        end
        i = i + 1
    end
end

local function bus_bytes(frame, tvb, time, baud)
    local n = tvb:len()
    local run = nil -- consecutive bytes of one kind in this record
    local function close_run()
        if run then item(frame, run) end
        run = nil
    end
    for i = 0, n - 1 do
        local b = tvb(i, 1):uint()
        local req = current
        local kind
        if req == nil or req.complete or req.unknown then
            kind = "stray"
        elseif #req.reply == 0 and req.echo_got < #req.bytes and echo_mode ~= false and b == req.bytes[req.echo_got + 1] then
            kind = "echo"
            req.echo_got = req.echo_got + 1
            if req.echo_got == #req.bytes then echo_mode = true end
        else
            if #req.reply == 0 and req.echo_got > 0 and req.echo_got < #req.bytes then
                if echo_mode == nil then
                    -- What began like the echo was the reply (servo 0 at 115200
                    -- answers 0x80, its own command byte): the line has no echo.
                    for k = 1, req.echo_got do table.insert(req.reply, req.bytes[k]) end
                    req.echo_got = 0
                    for _, e in ipairs(req.echo_entries) do e.kind = "reply" end
                else
                    req.echo_bad = true
                end
            end
            if #req.reply == 0 and req.echo_got == 0 and echo_mode == nil then echo_mode = false end
            if echo_mode == nil and #req.reply > 0 then echo_mode = false end
            kind = "reply"
            table.insert(req.reply, b)
        end
        if run == nil or run.kind ~= kind or run.req ~= req then
            close_run()
            run = { kind = kind, req = req, offset = i, length = 0 }
            if kind == "echo" then table.insert(req.echo_entries, run) end
        end
        run.length = run.length + 1
        if kind == "reply" and #req.reply == FACTS.REPLY_LENGTH then
            req.complete = true
            req.response_frame = frame
            req.reply_time = (time - req.time) * 1000
            req.reply_time_abs = time
            req.ok = judge(req, baud)
            run.completes = true
            close_run()
        end
    end
    close_run()
end

-- ---------------------------------------------------------------------------
-- Tree

local function add_request_fields(tree, tvb, entry, visited)
    local req = entry.req
    local range = tvb(entry.offset, entry.length)
    local sub = tree:add(zavbus, range, "Request: " .. (COMMANDS[req.command] or "unknown command") .. ", servo " .. req.id)
    sub:add(f.kind, range, KINDS.request)
    sub:add(f.command, tvb(entry.offset, 1), req.command)
    sub:add(f.id, tvb(entry.offset, 1), req.id)
    if entry.length > 1 then sub:add(f.data, tvb(entry.offset + 1, entry.length - 1)) end
    if req.goal then sub:add(f.goal, tvb(entry.offset + 1, 2), req.goal) end
    if req.subcode then sub:add(f.subcode, tvb(entry.offset + 1, 1), req.subcode) end
    if req.value then sub:add(f.value, tvb(entry.offset + 2, 1), req.value) end
    if req.unknown then sub:add_proto_expert_info(e_unknown) end
    if req.response_frame then
        sub:add(f.response_in, req.response_frame):set_generated()
    elseif visited then
        -- The whole file has been read: this request never got its reply.
        sub:add(f.no_reply, true):set_generated()
        sub:add_proto_expert_info(e_no_reply, "No reply from servo " .. req.id .. " (time-out)")
    end
    local text = (COMMANDS[req.command] or "command " .. req.command) .. " id " .. req.id
    if req.goal then text = text .. (req.goal == 0 and " release" or " goal " .. req.goal) end
    if req.subcode then text = text .. " sub-code " .. req.subcode end
    if req.value then text = text .. " value " .. req.value end
    return text
end

local function add_reply_fields(tree, tvb, entry, baud)
    local req = entry.req
    local range = tvb(entry.offset, entry.length)
    local sub = tree:add(zavbus, range, "Reply from servo " .. req.id)
    sub:add(f.kind, range, KINDS.reply)
    sub:add(f.command, req.command):set_generated()
    sub:add(f.id, req.id):set_generated()
    sub:add(f.request_in, req.frame):set_generated()
    if not entry.completes then return "reply (part)" end
    sub:add(f.time, req.reply_time):set_generated()
    if req.present then sub:add(f.present, req.present):set_generated() end
    if req.command ~= POSITION then
        sub:add(f.subcode, req.reply[2]):set_generated()
        sub:add(f.value, req.reply[3]):set_generated()
    end
    if req.reading then sub:add(f.reading, req.reading):set_generated() end
    if req.late_of then
        sub:add_proto_expert_info(e_late, string.format("Late reply to the request in frame %d (servo %d), %.1f ms after it",
            req.late_of.frame, req.late_of.id, (req.reply_time_abs - req.late_of.time) * 1000))
    end
    if not req.ok then
        sub:add(f.wrong_reply, true):set_generated()
        sub:add_proto_expert_info(e_wrong, "Reply " .. string.format("%02X %02X %02X", req.reply[1], req.reply[2], req.reply[3]) ..
            " does not match the request in frame " .. req.frame)
    end
    local text = "reply id " .. req.id
    if req.present then text = text .. " present " .. req.present end
    if req.reading then text = text .. " reading " .. req.reading
    elseif req.command ~= POSITION then text = text .. " value " .. req.reply[3] end
    if req.late_of then text = "late reply from servo " .. req.late_of.id .. " to frame " .. req.late_of.frame
    elseif not req.ok then text = text .. " [wrong reply]" end
    return text
end

function zavbus.dissector(tvb, pinfo, tree)
    if tvb:len() < 8 or tvb(0, 1):uint() ~= 1 then return 0 end
    pinfo.cols.protocol = "ZAVBUS"
    local direction = tvb(1, 1):uint()
    local baud = tvb(4, 4):uint()
    local payload = tvb(8):tvb()

    if not pinfo.visited then
        local time = pinfo.abs_ts
        if pinfo.number > last_frame then
            last_frame = pinfo.number
            ended = direction == 2 and payload:raw():sub(1, 14) == "end of capture"
        end
        if direction == 0 then
            host_bytes(pinfo.number, payload, time)
        elseif direction == 1 then
            bus_bytes(pinfo.number, payload, time, baud)
        end
    end

    local names = { [0] = "host to bus", [1] = "bus to host", [2] = "note" }
    local root = tree:add(zavbus, tvb(), "Servo bus, " .. (names[direction] or "direction " .. direction))
    local header = root:add(zavbus, tvb(0, 8), "Capture header")
    header:add(f.version, tvb(0, 1))
    header:add(f.direction, tvb(1, 1))
    header:add(f.simulator, tvb(2, 1), tvb(2, 1):uint() % 2 == 1)
    header:add(f.baud, tvb(4, 4))

    local info = {}
    if direction == 2 then
        root:add(f.note, payload(), payload:raw())
        table.insert(info, payload:raw())
    end
    -- Once the whole file has been read, its last frame tells whether it ended normally.
    if pinfo.visited and pinfo.number == last_frame and not ended then
        root:add_proto_expert_info(e_cut)
        table.insert(info, "[capture cut short]")
    end
    for _, entry in ipairs(frames[pinfo.number] or {}) do
        local req = entry.req
        if entry.kind == "request" then
            table.insert(info, add_request_fields(root, payload, entry, pinfo.visited))
        elseif entry.kind == "timeout_note" then
            root:add_proto_expert_info(e_no_reply, "The request in frame " .. req.frame .. " (servo " .. req.id .. ") got no reply")
            table.insert(info, "[no reply to frame " .. req.frame .. "]")
        elseif entry.kind == "echo" then
            local range = payload(entry.offset, entry.length)
            local sub = root:add(zavbus, range, "Echo of the request in frame " .. req.frame)
            sub:add(f.kind, range, KINDS.echo)
            sub:add(f.request_in, req.frame):set_generated()
            table.insert(info, "echo")
        elseif entry.kind == "reply" then
            if req.echo_bad then root:add_proto_expert_info(e_echo) end
            table.insert(info, add_reply_fields(root, payload, entry, baud))
        else
            local range = payload(entry.offset, entry.length)
            local sub = root:add(zavbus, range, "Bytes with no request waiting")
            sub:add(f.kind, range, KINDS.stray)
            sub:add_proto_expert_info(e_stray)
            table.insert(info, "stray bytes")
        end
    end
    pinfo.cols.info = table.concat(info, "; ")
    return tvb:len()
end

DissectorTable.get("wtap_encap"):add(wtap_encaps.USER0, zavbus)
