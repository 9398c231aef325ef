-- Wireshark dissector for the UDP datagrams between libmarlclient and the
-- point service: updates (0x8C00), updates with runtime information (0x8C04),
-- queries (0x8C01) and query responses (0x8C02).
--
-- Load it for one run:  wireshark -X lua_script:tools/wireshark/marl.lua
--                       tshark -X lua_script:tools/wireshark/marl.lua -r FILE
-- or for good: copy it into ~/.local/lib/wireshark/plugins/.
--
-- Port: the library finds the service by the first "marl" entry of the
-- services database, whatever its protocol, so the dissector reads the same
-- entry from /etc/services when it loads and registers on that UDP port.
-- The preference marl.udp_port (Edit > Preferences > Protocols > MARL, or
-- -o marl.udp_port:N) overrides it. Without an entry the preference defaults
-- to 0, which registers on no port: the library would then send to port 0,
-- so there is no port to guess, and "Decode As... > UDP port > MARL"
-- (tshark: -d udp.port==N,marl) picks the traffic out instead.
--
-- Nothing here throws on a bad datagram: every field is bounds-checked
-- before its bytes are taken, and each kind of damage gets its own expert
-- field (marl.expert.*) so that it can be filtered on.

local marl = Proto("marl", "MARL Point Service")

local MSG_UPDATE, MSG_QUERY, MSG_RESPONSE, MSG_UPDATE_EXT = 0x8C00, 0x8C01, 0x8C02, 0x8C04
local HEADER_SIZE = 40

local msg_names = {
    [MSG_UPDATE] = "MARL_MSG_UPDATE_POINT",
    [MSG_QUERY] = "MARL_MSG_QUERY_POINT",
    [MSG_RESPONSE] = "MARL_MSG_QUERY_POINT_RESPONSE",
    [MSG_UPDATE_EXT] = "MARL_MSG_UPDATE_POINT_EXT",
}
local rc_names = { [0] = "MARL_MSG_RC_OK", [1] = "MARL_MSG_RC_INVALID_POINT_ID" }
local state_names = { [0] = "clear", [1] = "set" }

local f = {
    id = ProtoField.uint32("marl.id", "id", base.HEX, msg_names),
    length = ProtoField.int32("marl.length", "length"),
    control = ProtoField.uint32("marl.control", "control", base.HEX),
    sequence = ProtoField.uint16("marl.sequence", "sequence"),
    sequenceReply = ProtoField.uint16("marl.sequenceReply", "sequenceReply"),
    setPoint = ProtoField.uint8("marl.setPoint", "setPoint", base.DEC, state_names),
    sendResponse = ProtoField.uint8("marl.sendResponse", "sendResponse"),
    pointIsSet = ProtoField.uint8("marl.pointIsSet", "pointIsSet", base.DEC, state_names),
    returnCode = ProtoField.uint32("marl.returnCode", "returnCode", base.DEC, rc_names),
    pointNameLength = ProtoField.uint32("marl.pointNameLength", "pointNameLength"),
    pointName = ProtoField.string("marl.pointName", "point name"),
    thresholdLength = ProtoField.uint16("marl.thresholdLength", "thresholdLength"),
    low = ProtoField.float("marl.low", "low"),
    high = ProtoField.float("marl.high", "high"),
    observedValue = ProtoField.float("marl.observedValue", "observedValue"),
    armTime = ProtoField.absolute_time("marl.armTime", "armTime", base.UTC),
    padding = ProtoField.bytes("marl.padding", "padding (texts cut to their maximum)"),
    trailing = ProtoField.bytes("marl.trailing", "bytes after the message"),
}

-- The three time stamps of the header, each two signed 32-bit fields.
local times = {}
for i, name in ipairs({ "txTime", "rxTime", "timeReply" }) do
    times[i] = {
        name = name,
        sec = ProtoField.int32("marl." .. name .. ".tv_sec", "tv_sec"),
        usec = ProtoField.int32("marl." .. name .. ".tv_usec", "tv_usec"),
    }
    f[name .. "_sec"], f[name .. "_usec"] = times[i].sec, times[i].usec
end

-- Counted strings: a text field and its 16-bit length for each.
local function counted(name)
    local text = ProtoField.string("marl." .. name, name)
    local len = ProtoField.uint16("marl." .. name .. ".length", "length")
    f[name], f[name .. "_len"] = text, len
    return { name = name, text = text, len = len }
end
local attributeId, indication = counted("attributeId"), counted("indication")
local texts = {
    counted("monitoredAttributes"), counted("serviceUser"), counted("serviceProvider"),
    counted("securityAlarmDetector"), counted("additionalText1"), counted("additionalText2"),
}

local fields = {}
for _, field in pairs(f) do
    fields[#fields + 1] = field
end
marl.fields = fields

local MALFORMED, ERROR, WARN = expert.group.MALFORMED, expert.severity.ERROR, expert.severity.WARN
local ex = {
    short = ProtoExpert.new("marl.expert.short", "Datagram shorter than its record", MALFORMED, ERROR),
    length_mismatch = ProtoExpert.new("marl.expert.length_mismatch",
        "Header length disagrees with the datagram's size", MALFORMED, WARN),
    past_end = ProtoExpert.new("marl.expert.past_end", "Field runs past the end of the datagram", MALFORMED, ERROR),
    unknown_id = ProtoExpert.new("marl.expert.unknown_id", "Unknown message identifier",
        expert.group.UNDECODED, WARN),
    no_terminator = ProtoExpert.new("marl.expert.no_terminator", "Text not followed by a NUL byte", MALFORMED, WARN),
    trailing = ProtoExpert.new("marl.expert.trailing", "Bytes after the end of the message",
        expert.group.PROTOCOL, WARN),
    foreign_reply = ProtoExpert.new("marl.expert.foreign_reply", "Reply for another point than the last query's",
        expert.group.SEQUENCE, WARN),
    late_reply = ProtoExpert.new("marl.expert.late_reply", "Reply after its query timed out",
        expert.group.SEQUENCE, WARN),
}
marl.experts = { ex.short, ex.length_mismatch, ex.past_end, ex.unknown_id, ex.no_terminator, ex.trailing,
    ex.foreign_reply, ex.late_reply }
-- What may be a newer peer's doing, or a matter of timing, rather than damage.
local not_damage = { [ex.unknown_id] = true, [ex.trailing] = true, [ex.foreign_reply] = true,
    [ex.late_reply] = true }

-- How long the library waits for a reply; one that comes later answers no query.
local QUERY_TIMEOUT = 10
-- The last query of each conversation, as the first pass over the capture
-- met it, and for each response the query that came before it: the library
-- discards a reply that names another point, and one that comes too late.
local last_query, asked = {}, {}
function marl.init()
    last_query, asked = {}, {}
end

-- Fixed part of each message: its size, the fields after the header and
-- where the point name starts (a response may carry none: length 0).
local records = {
    [MSG_UPDATE] = { kind = "Update", size = 46, name_at = 46,
        fields = { { "setPoint", 40, 1 }, { "sendResponse", 41, 1 }, { "pointNameLength", 42, 4 } } },
    [MSG_QUERY] = { kind = "Query", size = 44, name_at = 44, fields = { { "pointNameLength", 40, 4 } } },
    [MSG_RESPONSE] = { kind = "Response", size = 49, name_at = 49, name_optional = true,
        fields = { { "pointIsSet", 40, 1 }, { "returnCode", 41, 4 }, { "pointNameLength", 45, 4 } } },
}
records[MSG_UPDATE_EXT] = { kind = "Update ext", size = 46, name_at = 46, block = true,
    fields = records[MSG_UPDATE].fields }

-- One datagram under dissection: d.len is what was captured, and no range
-- is ever taken beyond it.
local function fits(d, offset, size)
    return size >= 0 and offset + size <= d.len
end

-- Adds an expert item; damage marks the datagram malformed in the Info column.
local function flag(d, item, expert_field, text)
    item:add_proto_expert_info(expert_field, text)
    if not not_damage[expert_field] then
        d.malformed = true
    end
end

-- Both directions of one client's exchange with the service.
local function conversation(pinfo)
    local a = tostring(pinfo.src) .. ":" .. pinfo.src_port
    local b = tostring(pinfo.dst) .. ":" .. pinfo.dst_port
    return a < b and a .. " " .. b or b .. " " .. a
end

-- Remembers a query, and checks a response against the query before it.
local function match_reply(d, pinfo, root, id, point)
    if id == MSG_QUERY and point and not pinfo.visited then
        last_query[conversation(pinfo)] = { point = point, time = pinfo.abs_ts }
    elseif id == MSG_RESPONSE then
        if not pinfo.visited then
            asked[pinfo.number] = last_query[conversation(pinfo)]
        end
        local query = asked[pinfo.number]
        if query and point and point ~= query.point then
            flag(d, root, ex.foreign_reply, string.format("Reply for %s while the last query asked for %s",
                point, query.point))
        end
        if query and pinfo.abs_ts - query.time > QUERY_TIMEOUT then
            flag(d, root, ex.late_reply, string.format("Reply %.1f s after its query", pinfo.abs_ts - query.time))
        end
    end
end

-- Reports a field that does not fit and returns nil, so callers can stop.
local function past_end(d, item, what)
    flag(d, item, ex.past_end, what .. " runs past the end of the datagram")
    return nil
end

-- Adds a fixed-size field if all its bytes are there; returns its range.
local function add_fixed(d, tree, field, offset, size, value)
    if not fits(d, offset, size) then
        return nil
    end
    local range = d.tvb(offset, size)
    if value ~= nil then
        tree:add(field, range, value)
    else
        tree:add(field, range)
    end
    return range
end

local function dissect_header(d, tree)
    local header = tree:add(d.tvb(0, math.min(HEADER_SIZE, d.len)), "Header")
    local id = add_fixed(d, header, f.id, 0, 4)
    local length = add_fixed(d, header, f.length, 4, 4)
    add_fixed(d, header, f.control, 8, 4)
    add_fixed(d, header, f.sequence, 12, 2)
    add_fixed(d, header, f.sequenceReply, 14, 2)
    for i, t in ipairs(times) do
        local offset = 8 + 8 * i
        if fits(d, offset, 8) then
            local sec, usec = d.tvb(offset, 4):int(), d.tvb(offset + 4, 4):int()
            local sub = header:add(d.tvb(offset, 8), string.format("%s: tv_sec %d, tv_usec %d", t.name, sec, usec))
            sub:add(t.sec, d.tvb(offset, 4))
            sub:add(t.usec, d.tvb(offset + 4, 4))
        end
    end
    return id and id:uint(), length and length:int()
end

-- A counted string at offset: a 16-bit length n, then, when n is nonzero,
-- n bytes of text and a NUL. A length of 0 means the text is absent and takes
-- only the two length bytes. Returns the offset after it, or nil.
local function dissect_counted(d, tree, offset, c)
    if not fits(d, offset, 2) then
        return past_end(d, tree, c.name .. " length")
    end
    local n = d.tvb(offset, 2):uint()
    local size = n == 0 and 2 or n + 3
    local sub = tree:add(d.tvb(offset, math.min(size, d.len - offset)), c.name .. ":")
    local len_item = sub:add(c.len, d.tvb(offset, 2))
    if n == 0 then
        sub:append_text(" absent")
        return offset + 2
    end
    if not fits(d, offset, size) then
        return past_end(d, len_item, string.format("%s of %d bytes", c.name, n))
    end
    local text = d.tvb(offset + 2, n)
    sub:add(c.text, text)
    sub:append_text(" " .. text:string())
    local nul = d.tvb(offset + 2 + n, 1)
    if nul:uint() ~= 0 then
        flag(d, sub, ex.no_terminator, c.name .. " is not followed by a NUL byte")
    end
    return offset + size
end

-- A 4-byte item of the threshold part; returns the offset after it, or nil.
local function dissect_number(d, tree, offset, field, name, value_of)
    if not fits(d, offset, 4) then
        return past_end(d, tree, name)
    end
    add_fixed(d, tree, field, offset, 4, value_of and value_of(d.tvb(offset, 4)))
    return offset + 4
end

local function arm_time(range)
    return NSTime.new(range:int(), 0)
end

-- The dynamic information block after the point name of an extended update.
-- Returns the offset after it, or nil when it runs past the end.
local function dissect_block(d, tree, offset)
    if not fits(d, offset, 2) then
        return past_end(d, tree, "Dynamic information block")
    end
    local start = offset
    local block = tree:add(d.tvb(offset, d.len - offset), "Dynamic information block")
    local threshold_length = d.tvb(offset, 2):uint()
    block:add(f.thresholdLength, d.tvb(offset, 2))
    offset = offset + 2
    -- Any nonzero thresholdLength announces the threshold part, not only the
    -- 22 that the library writes: the block's reader works the same way.
    if threshold_length ~= 0 then
        local th, th_start = block:add(d.tvb(offset, d.len - offset), "Threshold information"), offset
        offset = dissect_counted(d, th, offset, attributeId)
        offset = offset and dissect_counted(d, th, offset, indication)
        offset = offset and dissect_number(d, th, offset, f.low, "low")
        offset = offset and dissect_number(d, th, offset, f.high, "high")
        offset = offset and dissect_number(d, th, offset, f.observedValue, "observedValue")
        offset = offset and dissect_number(d, th, offset, f.armTime, "armTime", arm_time)
        if not offset then
            return nil
        end
        th:set_len(offset - th_start)
    end
    for _, c in ipairs(texts) do
        offset = dissect_counted(d, block, offset, c)
        if not offset then
            return nil
        end
    end
    block:set_len(offset - start)
    return offset
end

local function state_text(value, field)
    return state_names[value] or (field .. "=" .. value)
end

local function rc_text(rc)
    return rc == 0 and "OK" or rc == 1 and "INVALID_POINT_ID" or tostring(rc)
end

function marl.dissector(tvb, pinfo, tree)
    pinfo.cols.protocol = "MARL"
    local d = { tvb = tvb, len = tvb:len(), malformed = false }
    local root = tree:add(marl, tvb())
    local id, length = dissect_header(d, root)
    local record = id and records[id]
    local info = record and record.kind or "MARL"

    if id and not record then
        flag(d, root, ex.unknown_id, string.format("Unknown message identifier 0x%04x", id))
        info = string.format("Unknown id 0x%04x", id)
    end
    local size = record and record.size or HEADER_SIZE
    if d.len < size then
        flag(d, root, ex.short, string.format("Datagram of %d bytes is shorter than the %d-byte %s",
            d.len, size, record and record.kind:lower() .. " record" or "header"))
    end
    if length and length ~= tvb:reported_len() then
        flag(d, root, ex.length_mismatch, string.format("Header length %d disagrees with the datagram's %d bytes",
            length, tvb:reported_len()))
    end

    local offset = math.min(size, d.len)
    local values = {}
    if record then
        local body = root
        if d.len > HEADER_SIZE then
            body = root:add(tvb(HEADER_SIZE, math.min(size, d.len) - HEADER_SIZE), record.kind)
        end
        for _, field in ipairs(record.fields) do
            local range = add_fixed(d, body, f[field[1]], field[2], field[3])
            values[field[1]] = range and range:uint()
        end
    end

    local name, point
    if record and record.name_at and d.len >= size then
        local n = values.pointNameLength
        if not fits(d, offset, n) then
            offset = past_end(d, root, string.format("Point name of %d bytes (%d left)", n, d.len - offset))
        elseif n > 0 then
            point = tvb(offset, n):string()
            name = point
            root:add(f.pointName, tvb(offset, n))
            offset = offset + n
        elseif not record.name_optional then
            name = '""'
        end
        if offset and record.block then
            offset = dissect_block(d, root, offset)
        end
    end

    if offset and offset < d.len then
        local rest = tvb(offset, d.len - offset)
        if record and record.block and not rest:bytes():tohex():find("[^0]") then
            -- The sender sizes the datagram by the texts' full lengths, so a
            -- text cut to its maximum leaves that many zero bytes at the end.
            root:add(f.padding, rest)
        else
            root:add(f.trailing, rest)
            -- What a service sends after the response and its name is its
            -- own business: the library reads nothing more.
            if record and id ~= MSG_RESPONSE then
                flag(d, root, ex.trailing, string.format("%d bytes after the end of the message", d.len - offset))
            end
        end
    end

    if record then
        match_reply(d, pinfo, root, id, point)
    end
    if name then
        info = info .. " " .. name
    end
    if values.setPoint then
        info = info .. " " .. state_text(values.setPoint, "setPoint")
    end
    if values.returnCode then
        -- The library takes every return code but the invalid point's as
        -- success, and then pointIsSet as the point's state.
        if values.returnCode ~= 1 and values.pointIsSet then
            info = info .. " " .. state_text(values.pointIsSet, "pointIsSet")
        end
        info = info .. " rc=" .. rc_text(values.returnCode)
    end
    if d.malformed then
        info = info .. " [Malformed]"
    end
    pinfo.cols.info = info
    return d.len
end

-- Port registration ------------------------------------------------------

local SERVICES_FILE = "/etc/services"

-- The port of the first entry of the services file whose name or one of
-- whose aliases is `service`, of any protocol (as getservbyname(name, NULL)
-- looks it up); nil when there is none.
local function services_port(service)
    local file = io.open(SERVICES_FILE, "r")
    if not file then
        return nil
    end
    local found
    for line in file:lines() do
        local entry = line:gsub("#.*", "")
        local name, port, aliases = entry:match("^%s*(%S+)%s+(%d+)/%S+(.*)$")
        if name then
            local names = " " .. name .. " " .. aliases:gsub("%s+", " ") .. " "
            port = tonumber(port)
            if names:find(" " .. service .. " ", 1, true) and port > 0 and port <= 65535 then
                found = port
                break
            end
        end
    end
    file:close()
    return found
end

local default_port = services_port("marl") or 0
marl.prefs.udp_port = Pref.uint("UDP port", default_port,
    "UDP port of the point service (0: none, use Decode As). Defaults to the port of the \"marl\" entry of " ..
    SERVICES_FILE .. ", or 0 when it has none.")

local udp_table = DissectorTable.get("udp.port")
udp_table:add_for_decode_as(marl)
local registered_port = 0

local function register_port(port)
    if port == registered_port then
        return
    end
    if registered_port ~= 0 then
        udp_table:remove(registered_port, marl)
    end
    registered_port = (port > 0 and port <= 65535) and port or 0
    if registered_port ~= 0 then
        udp_table:add(registered_port, marl)
    end
end

function marl.prefs_changed()
    register_port(marl.prefs.udp_port)
end

register_port(default_port)
