-- Wireshark dissectors for the FR-MCU link: relay datagrams (frrelay, UDP 29052, FR-MCU to
-- host), node control (frctrl, TCP 29050) and time stamps (frtime, UDP 29051, host to FR-MCU).
-- They apply the rules framerelayd, nodectl and clockcast apply, so that a capture shows what
-- those programs saw.
--
--   tshark -X lua_script:wireshark/frmcu.lua -r capture.pcap
--
-- Other ports: Decode As (tshark -d udp.port==PORT,frrelay).

local relay_port, control_port, time_port = 29052, 29050, 29051

-- The texts the programs print for codes (frmcu's state_to_string, mode_to_string,
-- return_code_to_string and cmd_strings). Every code not listed is "UNKNOWN".
local texts = {
    command = {[1] = "start", [2] = "stop", [3] = "statistics"},
    return_code = {
        [0] = "OK",
        [1] = "NOK",
        [2] = "NOT_IMPLMENTED",
        [3] = "INVALID_OPTIONS",
        [4] = "OPERATION_NOT_ALLOWED",
        [5] = "INVALID_VERSION",
    },
    state = {
        [0x00] = "DEFAULT CONFIG",
        [0x01] = "READY",
        [0x02] = "NORMAL ACTIVE",
        [0x03] = "NORMAL PASSIVE",
        [0x04] = "HALT",
        [0x05] = "MONITOR MODE",
        [0x0D] = "LOOPBACK MODE",
        [0x0F] = "CONFIG",
        [0x10] = "WAKEUP STANDBY",
        [0x11] = "WAKEUP LISTEN",
        [0x12] = "WAKEUP_SEND",
        [0x13] = "WAKEUP_DETECT",
        [0x20] = "STARTUP_PREPARE",
        [0x21] = "COLDSTART_LISTEN",
        [0x22] = "COLDSTART_COLLISION_RESOLUTION",
        [0x23] = "COLDSTART_CONSISTENCY_CHECK",
        [0x24] = "COLDSTART_GAP",
        [0x25] = "COLDSTART_JOIN",
        [0x26] = "COLDSTART_CHECK",
        [0x27] = "INTEGRATION_LISTEN",
        [0x28] = "CONSISTENCY_CHECK",
        [0x29] = "INITIALIZE_SCHEDULE",
        [0x2A] = "ABORT_STARTUP",
    },
    mode = {[0] = "ACTIVE", [1] = "PASSIVE", [2] = "COMMHALT", [3] = "RESERVED"},
}

local function text_of(kind, code)
    return texts[kind][code] or "UNKNOWN"
end

local two32 = 4294967296

-- The programs print 32-bit numbers with %d.
local function signed32(v)
    return v >= 2147483648 and v - two32 or v
end

-- A big-endian word; bytes beyond the datagram read as zero, as in framerelayd's cleared buffer.
local function be32(tvb, offset)
    local v = 0
    for i = 0, 3 do
        v = v * 256
        if offset + i < tvb:len() then v = v + tvb(offset + i, 1):uint() end
    end
    return v
end

-- ---------------------------------------------------------------- relay datagrams

local frrelay = Proto("frrelay", "FR-MCU relay datagram")

local R = {
    magic = ProtoField.uint32("frrelay.magic", "Magic", base.HEX),
    udp_seq = ProtoField.uint32("frrelay.udp_seq", "Datagram sequence", base.DEC),
    frame_count = ProtoField.uint32("frrelay.frame_count", "Frame records", base.DEC),
    spare = ProtoField.uint32("frrelay.spare", "Spare", base.HEX),
    udp_seq_anomaly = ProtoField.bool("frrelay.udp_seq_anomaly", "Datagram out of sequence"),
    record = ProtoField.none("frrelay.record", "Frame record"),
    frame_seq = ProtoField.uint32("frrelay.frame_seq", "Frame sequence", base.DEC),
    sec = ProtoField.uint32("frrelay.sec", "Seconds", base.DEC),
    nsec = ProtoField.uint32("frrelay.nsec", "Nanoseconds", base.DEC),
    aux32 = ProtoField.uint32("frrelay.aux32", "aux32", base.HEX),
    frame_id = ProtoField.uint16("frrelay.frame_id", "Frame ID", base.HEX),
    len = ProtoField.uint8("frrelay.len", "Payload length", base.DEC),
    aux16 = ProtoField.uint16("frrelay.aux16", "aux16", base.HEX),
    data = ProtoField.bytes("frrelay.data", "Payload"),
    no_frame = ProtoField.bool("frrelay.no_frame", "No frame"),
    drops = ProtoField.uint32("frrelay.drops", "Frames counted as lost before this one", base.DEC),
}
frrelay.fields = {
    R.magic, R.udp_seq, R.frame_count, R.spare, R.udp_seq_anomaly, R.record, R.frame_seq, R.sec,
    R.nsec, R.aux32, R.frame_id, R.len, R.aux16, R.data, R.no_frame, R.drops,
}

local RE = {
    bad_magic = ProtoExpert.new("frrelay.expert.bad_magic", "Wrong magic: datagram rejected",
                                expert.group.MALFORMED, expert.severity.ERROR),
    missing = ProtoExpert.new("frrelay.expert.records_missing",
                              "Records announced but not wholly present",
                              expert.group.MALFORMED, expert.severity.WARN),
    too_many = ProtoExpert.new("frrelay.expert.too_many_records",
                               "More records than fit in 1518 bytes",
                               expert.group.MALFORMED, expert.severity.WARN),
    udp_seq = ProtoExpert.new("frrelay.expert.udp_seq", "UDP sequence anomaly",
                              expert.group.SEQUENCE, expert.severity.NOTE),
    frame_seq = ProtoExpert.new("frrelay.expert.frame_seq", "FlexRay frame sequence anomaly",
                                expert.group.SEQUENCE, expert.severity.WARN),
}
frrelay.experts = {RE.bad_magic, RE.missing, RE.too_many, RE.udp_seq, RE.frame_seq}

local datagram_size, header_size, record_size = 1518, 16, 296
local max_records = math.floor((datagram_size - header_size) / record_size)
local relay_magic, no_frame_length = 0x46523031, 255

-- Sequence state per sender (as one daemon sees it), and what the first pass found for each
-- datagram: Wireshark dissects a packet again whenever it is shown.
local relay_senders, relay_seen

function frrelay.init()
    relay_senders, relay_seen = {}, {}
end

-- framerelayd's sequence accounting for one datagram (its header already accepted).
local function account(pinfo, udp_seq, frame_seqs)
    local key = tostring(pinfo.src) .. " > " .. tostring(pinfo.dst) .. ":" .. pinfo.dst_port
    local s = relay_senders[key]
    if not s then
        s = {udp = 0, frame = 0}
        relay_senders[key] = s
    end
    local seen = {udp_expected = (s.udp + 1) % two32, records = {}}
    s.udp = udp_seq
    for i, seq in ipairs(frame_seqs) do
        local expected = (s.frame + 1) % two32
        -- Ahead counts the gap (not right after 0xFFFFFFFF); behind is a restart or a repeat.
        local drops = 0
        if seq > expected and expected ~= 0 then drops = seq - expected end
        s.frame = seq
        seen.records[i] = {expected = expected, drops = drops}
    end
    return seen
end

function frrelay.dissector(tvb, pinfo, tree)
    pinfo.cols.protocol = "FRRELAY"
    local size = tvb:len()
    local root = tree:add(frrelay, tvb())
    if size == 0 then
        root:append_text(": empty datagram, ignored")
        pinfo.cols.info = "Empty datagram, ignored"
        return 0
    end
    -- framerelayd takes at most 1518 bytes of a datagram.
    local received = math.min(size, datagram_size)
    local magic, udp_seq = be32(tvb, 0), be32(tvb, 4)
    local frame_count = be32(tvb, 8)
    local fields = {R.magic, R.udp_seq, R.frame_count, R.spare}
    for k, f in ipairs(fields) do
        local at = 4 * (k - 1)
        if at + 4 <= size then root:add(f, tvb(at, 4)) end
    end
    if magic ~= relay_magic then
        root:add_proto_expert_info(RE.bad_magic,
                                   string.format("Magic number is wrong: %08X", magic))
        pinfo.cols.info = string.format("Wrong magic %08X: rejected", magic)
        return size
    end

    local whole = received < header_size and 0 or
                      math.floor((received - header_size) / record_size)
    local count = math.min(frame_count, whole)

    local seen = relay_seen[pinfo.number]
    if not seen and not pinfo.in_error_pkt then
        local seqs = {}
        for i = 1, count do seqs[i] = be32(tvb, header_size + (i - 1) * record_size) end
        seen = account(pinfo, udp_seq, seqs)
        relay_seen[pinfo.number] = seen
    end

    local info = string.format("udp_seq=%u, %u records", udp_seq, frame_count)
    if seen and udp_seq ~= seen.udp_expected then
        local item = root:add(R.udp_seq_anomaly, true)
        item:set_generated()
        item:add_proto_expert_info(RE.udp_seq, string.format(
            "UDP sequence anomaly. Expected: %d got: %d", signed32(seen.udp_expected),
            signed32(udp_seq)))
        info = info .. ", out of sequence"
    end
    if frame_count > max_records then
        root:add_proto_expert_info(RE.too_many, string.format(
            "%u records announced, at most %d fit in 1518 bytes", frame_count, max_records))
    end
    if count < frame_count then
        root:add_proto_expert_info(RE.missing, string.format(
            "Datagram %u announces %u frame records, %u arrived whole: rest ignored", udp_seq,
            frame_count, count))
    end

    local lost = 0
    for i = 1, count do
        local o = header_size + (i - 1) * record_size
        local seq, len = be32(tvb, o), tvb(o + 22, 1):uint()
        local rec = root:add(R.record, tvb(o, record_size))
        rec:set_text(string.format("Frame record %d: frame_seq %u, frame_id 0x%04X, len %u", i,
                                   seq, tvb(o + 20, 2):uint(), len))
        rec:add(R.frame_seq, tvb(o, 4))
        rec:add(R.sec, tvb(o + 8, 4))
        local usec = math.floor(be32(tvb, o + 12) / 1000)
        rec:add(R.nsec, tvb(o + 12, 4)):append_text(string.format(" (%u us)", usec))
        rec:add(R.aux32, tvb(o + 16, 4))
        rec:add(R.frame_id, tvb(o + 20, 2))
        rec:add(R.len, tvb(o + 22, 1))
        rec:add(R.aux16, tvb(o + 24, 2))
        if len ~= 0 and len ~= no_frame_length then rec:add(R.data, tvb(o + 32, len)) end
        rec:add(R.no_frame, tvb(o + 22, 1), len == no_frame_length)
        if seen then
            local r = seen.records[i]
            rec:add(R.drops, r.drops):set_generated()
            lost = lost + r.drops
            if seq ~= r.expected then
                rec:add_proto_expert_info(RE.frame_seq, string.format(
                    "FlexRay frame sequence anomaly. Expected: %d got: %d", signed32(r.expected),
                    signed32(seq)))
            end
        end
    end
    -- What arrived of a record that is not whole, or lies beyond the 1518 bytes, is not relayed.
    local rest = header_size + count * record_size
    if rest < size and count < frame_count then
        local item = root:add(R.record, tvb(rest, size - rest))
        item:set_text(string.format("Not relayed: %d bytes", size - rest))
    end
    if lost > 0 then info = info .. string.format(", %u frames lost", lost) end
    pinfo.cols.info = info
    return size
end

-- ---------------------------------------------------------------- node control

local frctrl = Proto("frctrl", "FR-MCU node control")

-- The statistics record's words, in order, labelled as nodectl's report labels them.
local stat_words = {
    {"overrun", "overrun"}, {"syntax", "syntax"}, {"frame", "frame"}, {"content", "content"},
    {"boundary", "boundary"}, {"fifo_level", "fifo_level"}, {"state", "STATE"},
    {"mode", "MODE"}, {"bytes", "bytes"}, {"frames", "frames"}, {"null_frames", "null-frames"},
}

local C = {
    magic = ProtoField.string("frctrl.magic", "Magic ID"),
    length = ProtoField.uint32("frctrl.length", "Length", base.DEC),
    id = ProtoField.uint16("frctrl.id", "ID", base.HEX),
    response = ProtoField.bool("frctrl.response", "Response", 16, nil, 0x8000),
    command = ProtoField.uint16("frctrl.command", "Command", base.DEC, nil, 0x7FFF),
    return_code = ProtoField.uint16("frctrl.return_code", "Return code", base.DEC),
    stats = {},
}
frctrl.fields = {C.magic, C.length, C.id, C.response, C.command, C.return_code}
for _, w in ipairs(stat_words) do
    local f = ProtoField.uint32("frctrl.stats." .. w[1], w[2], base.DEC)
    C.stats[w[1]] = f
    table.insert(frctrl.fields, f)
end

local CE = {
    bad_magic = ProtoExpert.new("frctrl.expert.bad_magic", "Wrong magic ID",
                                expert.group.MALFORMED, expert.severity.ERROR),
    wrong_id = ProtoExpert.new("frctrl.expert.wrong_id", "Wrong response ID",
                               expert.group.PROTOCOL, expert.severity.ERROR),
    bad_length = ProtoExpert.new("frctrl.expert.bad_length", "Invalid length of response message",
                                 expert.group.MALFORMED, expert.severity.ERROR),
    return_code = ProtoExpert.new("frctrl.expert.return_code", "Return code not OK",
                                  expert.group.RESPONSE_CODE, expert.severity.WARN),
    short_stats = ProtoExpert.new("frctrl.expert.short_statistics", "Statistics record too short",
                                  expert.group.MALFORMED, expert.severity.ERROR),
    no_request = ProtoExpert.new("frctrl.expert.no_request",
                                 "No request of this connection in the capture",
                                 expert.group.SEQUENCE, expert.severity.NOTE),
    after = ProtoExpert.new("frctrl.expert.after_response", "Bytes after the response",
                            expert.group.PROTOCOL, expert.severity.WARN),
}
frctrl.experts = {
    CE.bad_magic, CE.wrong_id, CE.bad_length, CE.return_code, CE.short_stats, CE.no_request,
    CE.after,
}

local ctrl_header_size, max_message, stats_size = 10, 256, 44
-- Per connection (client and server address and port; fields need not be there on a first
-- pass without a tree): the request's command code and how far the response got. Per message:
-- what the first pass found.
local ctrl_streams, ctrl_seen

function frctrl.init()
    ctrl_streams, ctrl_seen = {}, {}
end

local function connection(client, client_port, server, server_port)
    return tostring(client) .. ":" .. client_port .. " " .. tostring(server) .. ":" .. server_port
end

local function add_header(tvb, tree, offset)
    tree:add(C.magic, tvb(offset, 4))
    tree:add(C.length, tvb(offset + 4, 4))
    local id = tree:add(C.id, tvb(offset + 8, 2))
    id:add(C.response, tvb(offset + 8, 2))
    local code = bit.band(tvb(offset + 8, 2):uint(), 0x7FFF)
    local word = texts.command[code] or "UNKNOWN"
    id:add(C.command, tvb(offset + 8, 2)):append_text(" (" .. word .. ")")
end

-- One request.
local function ctrl_request(tvb, pinfo, tree, offset)
    local code = tvb(offset + 8, 2):uint()
    local key = pinfo.number .. ":" .. offset
    if not ctrl_seen[key] then
        ctrl_seen[key] = true
        local c = connection(pinfo.src, pinfo.src_port, pinfo.dst, pinfo.dst_port)
        ctrl_streams[c] = {code = code}
    end
    local t = tree:add(frctrl, tvb(offset, ctrl_header_size))
    t:append_text(": request")
    add_header(tvb, t, offset)
    pinfo.cols.info = "Request " .. (texts.command[code] or string.format("%04X", code))
end

-- nodectl's checks of a response, in its order: magic, ID, length, return code; the first that
-- fails decides. `message` is what nodectl's one read of at most 256 bytes takes.
local function judge(magic_ok, id, length, message, request)
    if not magic_ok then return "bad_magic", "Wrong magic ID" end
    if request and id ~= bit.bor(request, 0x8000) then
        return "wrong_id", string.format("Wrong response ID (%04X)", id)
    end
    local received = message and message:len() or 0
    local announced = signed32((length - ctrl_header_size) % two32)
    if announced ~= received or received < 2 then
        return "bad_length",
               string.format("Invalid length of response message: %d (%d)", received, announced)
    end
    local rc = message(received - 2, 2):uint()
    if rc ~= 0 then return "return_code", "Return code not OK: " .. text_of("return_code", rc) end
    if request == 3 and received < stats_size + 2 then
        return "short_stats", string.format("Statistics record too short: %d bytes (%d expected)",
                                            received, stats_size + 2)
    end
    return nil
end

-- A whole response: the header and everything after it (one exchange per connection).
local function ctrl_response(tvb, pinfo, tree, request)
    local size = tvb:len()
    local t = tree:add(frctrl, tvb())
    t:append_text(": response")
    if size < ctrl_header_size then
        t:add_proto_expert_info(CE.bad_length, "Response header cut off")
        pinfo.cols.info = "Response header cut off"
        return
    end
    local magic_ok = tvb(0, 4):string() == "FC01"
    local length, id = tvb(4, 4):uint(), tvb(8, 2):uint()
    local rest = size - ctrl_header_size
    local message = rest > 0 and tvb(ctrl_header_size, math.min(rest, max_message)):tvb() or nil
    add_header(tvb, t, 0)
    local code = request or bit.band(id, 0x7FFF)
    local stats_info = ""
    if message and magic_ok and message:len() >= 2 then
        local at = ctrl_header_size + message:len() - 2
        local rc_text = text_of("return_code", tvb(at, 2):uint())
        t:add(C.return_code, tvb(at, 2)):append_text(" (" .. rc_text .. ")")
    end
    if message and magic_ok and code == 3 and message:len() >= stats_size + 2 then
        local s = t:add(frctrl, tvb(ctrl_header_size, stats_size))
        s:set_text("Statistics")
        for k, w in ipairs(stat_words) do
            local range = tvb(ctrl_header_size + 4 * (k - 1), 4)
            local item = s:add(C.stats[w[1]], range)
            if w[1] == "state" or w[1] == "mode" then
                item:append_text(" (" .. text_of(w[1], range:uint()) .. ")")
            end
        end
        stats_info = string.format(", MODE: %s, STATE: %s", text_of("mode", message(28, 4):uint()),
                                   text_of("state", message(24, 4):uint()))
    end
    if not request then t:add_proto_expert_info(CE.no_request) end
    local what = "Response " .. (texts.command[code] or string.format("%04X", code))
    local failure, text = judge(magic_ok, id, length, message, request)
    if failure then
        t:add_proto_expert_info(CE[failure], text)
        pinfo.cols.info = what .. ": " .. text
    else
        pinfo.cols.info = what .. ": OK" .. stats_info
    end
end

-- Whether the bytes so far can still grow into a response nodectl could take whole.
local function response_incomplete(tvb)
    local size = tvb:len()
    if size < ctrl_header_size then return true end
    local length = tvb(4, 4):uint()
    return tvb(0, 4):string() == "FC01" and length > size and
               length <= ctrl_header_size + max_message
end

function frctrl.dissector(tvb, pinfo, tree)
    pinfo.cols.protocol = "FRCTRL"
    local size = tvb:len()
    -- Toward the control port: requests; from it: the response.
    if pinfo.match_uint == pinfo.dst_port then
        local offset = 0
        while size - offset >= ctrl_header_size do
            ctrl_request(tvb, pinfo, tree, offset)
            offset = offset + ctrl_header_size
        end
        if offset < size then
            if pinfo.can_desegment > 0 then
                pinfo.desegment_offset = offset
                pinfo.desegment_len = ctrl_header_size - (size - offset)
            else
                tree:add(frctrl, tvb(offset)):append_text(": request cut off")
            end
        end
        return size
    end

    local key = pinfo.number .. ":r"
    local seen = ctrl_seen[key]
    if not seen then
        local sid = connection(pinfo.dst, pinfo.dst_port, pinfo.src, pinfo.src_port)
        local s = ctrl_streams[sid]
        if not s then
            s = {}
            ctrl_streams[sid] = s
        end
        if s.answered then
            seen = {after = true}
        elseif response_incomplete(tvb) and pinfo.can_desegment > 0 then
            -- Kept for the case that the connection closes first.
            s.pending = tvb:bytes()
            seen = {pending = true}
        else
            s.pending, s.answered = nil, true
            seen = {request = s.code}
        end
        ctrl_seen[key] = seen
    end
    if seen.after then
        -- The exchange is over; nodectl reads nothing more.
        local t = tree:add(frctrl, tvb())
        t:set_text("FR-MCU node control: bytes after the response")
        t:add_proto_expert_info(CE.after)
        pinfo.cols.info = "Bytes after the response"
    elseif seen.pending then
        pinfo.desegment_offset = 0
        pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
    else
        ctrl_response(tvb, pinfo, tree, seen.request)
    end
    return size
end

-- A response that the connection's end cuts short is shown where the connection closes.
local frctrl_close = Proto("frctrl_close", "FR-MCU node control, response cut off")
local tcp_fin, tcp_reset = Field.new("tcp.flags.fin"), Field.new("tcp.flags.reset")
local ctrl_closed

function frctrl_close.init()
    ctrl_closed = {}
end

function frctrl_close.dissector(tvb, pinfo, tree)
    local cut = ctrl_closed[pinfo.number]
    -- Without a tree the flags are not there: decided on a later pass.
    local fin, reset = tcp_fin(), tcp_reset()
    if cut == nil and fin then
        cut = false
        if fin.value or (reset and reset.value) then
            local s =
                ctrl_streams[connection(pinfo.src, pinfo.src_port, pinfo.dst, pinfo.dst_port)] or
                    ctrl_streams[connection(pinfo.dst, pinfo.dst_port, pinfo.src, pinfo.src_port)]
            if s and s.pending then
                cut = {bytes = s.pending, request = s.code}
                s.pending, s.answered = nil, true
            end
        end
        ctrl_closed[pinfo.number] = cut
    end
    if cut then
        pinfo.cols.protocol = "FRCTRL"
        ctrl_response(cut.bytes:tvb("Response cut off"), pinfo, tree, cut.request)
    end
end
register_postdissector(frctrl_close)

-- ---------------------------------------------------------------- time stamps

local frtime = Proto("frtime", "FR-MCU time stamp")

local T = {
    sec = ProtoField.int32("frtime.sec", "Seconds since the Epoch", base.DEC),
    nsec = ProtoField.uint32("frtime.nsec", "Nanoseconds", base.DEC),
    force = ProtoField.uint32("frtime.force", "Force", base.DEC,
                              {[0] = "at the next PPS edge", [1] = "at once"}),
}
frtime.fields = {T.sec, T.nsec, T.force}

local TE = {
    nsec = ProtoExpert.new("frtime.expert.nsec", "Nanoseconds of 10^9 or more",
                           expert.group.MALFORMED, expert.severity.ERROR),
    size = ProtoExpert.new("frtime.expert.size", "Time stamp not 12 bytes long",
                           expert.group.MALFORMED, expert.severity.ERROR),
}
frtime.experts = {TE.nsec, TE.size}

function frtime.dissector(tvb, pinfo, tree)
    pinfo.cols.protocol = "FRTIME"
    local size = tvb:len()
    local t = tree:add(frtime, tvb())
    if size ~= 12 then
        t:add_proto_expert_info(TE.size, string.format("Time stamp of %d bytes, not 12", size))
        pinfo.cols.info = string.format("Time stamp of %d bytes", size)
        if size < 12 then return size end
    end
    local sec, nsec, force = tvb(0, 4):le_int(), tvb(4, 4):le_uint(), tvb(8, 4):le_uint()
    t:add_le(T.sec, tvb(0, 4)):append_text(" (" .. os.date("!%Y-%m-%d %H:%M:%S UTC", sec) .. ")")
    local n = t:add_le(T.nsec, tvb(4, 4))
    if nsec >= 1000000000 then n:add_proto_expert_info(TE.nsec) end
    t:add_le(T.force, tvb(8, 4))
    pinfo.cols.info = string.format("Time stamp %d.%09u, %s", sec, nsec,
                                    force == 0 and "at the next PPS edge" or
                                        force == 1 and "at once" or "force " .. force)
    return size
end

-- ---------------------------------------------------------------- registration

local udp, tcp = DissectorTable.get("udp.port"), DissectorTable.get("tcp.port")
udp:add(relay_port, frrelay)
udp:add(time_port, frtime)
tcp:add(control_port, frctrl)
