-- The QMUX dissector for captures of the simulated module (kxmodem --pcap):
-- control frames are on interfaces of link type USER0 (147), one frame a
-- packet; the data ports are raw IP and need no help. The tables above come
-- from the QMI table; this code only reads frames by them.
--
--     tshark -X lua_script:build/bin/kxqmi.lua -r capture.pcapng -V
--     wireshark -X lua_script:build/bin/kxqmi.lua capture.pcapng

local qmi = Proto("qmi", "Qualcomm MSM Interface (QMUX)")

local kind_sizes = {
    u8 = 1, u16 = 2, u32 = 4, i8 = 1, i16 = 2, i32 = 4, x8 = 1, x16 = 2, x32 = 4,
    neg8 = 1, ipv4 = 4, chars3 = 3,
}
local frame_kinds = { [1] = "request", [2] = "response", [4] = "indication" }

local pf = {
    if_type = ProtoField.uint8("qmi.if_type", "Interface type", base.HEX),
    length = ProtoField.uint16("qmi.length", "Length", base.DEC),
    qmux_flags = ProtoField.uint8("qmi.qmux_flags", "QMUX flags", base.HEX),
    service = ProtoField.uint8("qmi.service", "Service", base.DEC, kx_services),
    client = ProtoField.uint8("qmi.client", "Client id", base.DEC),
    flags = ProtoField.uint8("qmi.flags", "Message flags", base.HEX),
    kind = ProtoField.string("qmi.kind", "Kind"),
    tid = ProtoField.uint16("qmi.tid", "Transaction id", base.DEC),
    msg = ProtoField.uint16("qmi.msg", "Message id", base.HEX),
    msg_name = ProtoField.string("qmi.msg_name", "Message"),
    tlvs_length = ProtoField.uint16("qmi.tlvs_length", "TLV length", base.DEC),
    tlv = ProtoField.bytes("qmi.tlv", "TLV"),
    tlv_type = ProtoField.uint8("qmi.tlv.type", "Type", base.HEX),
    tlv_name = ProtoField.string("qmi.tlv.name", "Name"),
    tlv_length = ProtoField.uint16("qmi.tlv.length", "Length", base.DEC),
    tlv_value = ProtoField.bytes("qmi.tlv.value", "Value"),
}

-- One field per decoded value name, typed by its kind: qmi.v.NAME.
local function parse_layout(layout)
    local fields = {}
    for token in layout:gmatch("%S+") do
        if token == "}" then
            fields[#fields + 1] = { close = true }
        else
            local open = token:sub(-1) == "{"
            if open then token = token:sub(1, -2) end
            local kind, rest = token:match("^([^:]+):(.*)$")
            local name, enum = rest:match("^([^=]+)=(.*)$")
            fields[#fields + 1] = { kind = kind, name = name or rest, enum = enum, open = open }
        end
    end
    return fields
end

local value_fields = {}
local layouts = {}
for _, row in ipairs(kx_tlvs) do
    local fields = parse_layout(row[6])
    layouts[row[6]] = fields
    for _, f in ipairs(fields) do
        if f.kind and not f.open and not value_fields[f.name] then
            local abbrev, label = "qmi.v." .. f.name, f.name:gsub("_", " ")
            local enum = f.enum and kx_enums[f.enum] or nil
            local pfield
            if f.kind == "ipv4" then
                pfield = ProtoField.ipv4(abbrev, label)
            elseif f.kind == "i8" or f.kind == "i16" or f.kind == "i32" or f.kind == "neg8" then
                pfield = ProtoField.int32(abbrev, label, base.DEC, enum)
            elseif kind_sizes[f.kind] and f.kind ~= "chars3" then
                local hex = f.kind:sub(1, 1) == "x"
                pfield = ProtoField.uint32(abbrev, label, hex and base.HEX or base.DEC, enum)
            else
                pfield = ProtoField.string(abbrev, label)
            end
            value_fields[f.name] = { field = pfield, kind = f.kind }
            pf["v_" .. f.name] = pfield
        end
    end
end

local ef_short = ProtoExpert.new("qmi.short", "Value shorter than its layout",
                                 expert.group.MALFORMED, expert.severity.WARN)
local ef_frame = ProtoExpert.new("qmi.bad_frame", "Frame inconsistent with its lengths",
                                 expert.group.MALFORMED, expert.severity.ERROR)

local proto_fields = {}
for _, f in pairs(pf) do proto_fields[#proto_fields + 1] = f end
qmi.fields = proto_fields
qmi.experts = { ef_short, ef_frame }

local function find_tlv(service, message, direction, tlv_type)
    for _, row in ipairs(kx_tlvs) do
        if row[1] == service and row[2] == message and row[4] == tlv_type
            and math.floor(row[3] / direction) % 2 == 1 then
            return row
        end
    end
    for _, row in ipairs(kx_tlvs) do
        if (row[1] == service or row[1] == 255) and (row[2] == message or row[2] == 65535)
            and row[4] == tlv_type and math.floor(row[3] / direction) % 2 == 1 then
            return row
        end
    end
    return nil
end

local function past_list(fields, open)
    local depth = 0
    for i = open, #fields do
        if fields[i].open then depth = depth + 1 end
        if fields[i].close then
            depth = depth - 1
            if depth == 0 then return i + 1 end
        end
    end
    return #fields + 1
end

local function idbits_text(range)
    local ids = {}
    for byte = 0, range:len() - 1 do
        local b = range(byte, 1):uint()
        for bit = 0, 7 do
            if math.floor(b / 2 ^ bit) % 2 == 1 then
                ids[#ids + 1] = string.format("0x%04x", byte * 8 + bit)
            end
        end
    end
    return table.concat(ids, " ")
end

-- Adds fields[from..to-1] read from tvb at `at` (up to `limit`) to tree;
-- returns the next offset, or nil when the value ended early.
local function read_group(fields, from, to, tvb, at, limit, tree, texts)
    local i = from
    while i < to do
        local f = fields[i]
        if f.close then
            i = i + 1
        elseif f.open then
            local width = f.kind == "n8" and 1 or 2
            if at + width > limit then return nil end
            local count = tvb(at, width):le_uint()
            at = at + width
            local stop = past_list(fields, i)
            local sub = tree:add(tvb(at - width, width), string.format("%s: %d", f.name, count))
            for _ = 1, count do
                at = read_group(fields, i + 1, stop - 1, tvb, at, limit, sub, texts)
                if not at then return nil end
            end
            i = stop
        else
            local vf = value_fields[f.name]
            local size = kind_sizes[f.kind]
            local range, value, text
            if size then
                if at + size > limit then return nil end
                range = tvb(at, size)
                at = at + size
                if f.kind == "ipv4" then
                    value = range:le_ipv4()
                    text = tostring(value)
                elseif f.kind == "chars3" then
                    local s = range:raw():gsub("\255", "")
                    value, text = s, s
                elseif f.kind == "neg8" then
                    value = -range:uint()
                elseif f.kind:sub(1, 1) == "i" then
                    value = range:le_int()
                else
                    value = range:le_uint()
                end
                if not text then
                    local labels = f.enum and kx_enums[f.enum]
                    text = labels and labels[value]
                    if not text and f.kind:sub(1, 1) == "x" then
                        text = string.format("0x%0" .. (size * 2) .. "x", value)
                    end
                    text = text or tostring(value)
                end
            else
                local rest = limit - at
                if f.kind == "str8" then
                    if rest < 1 then return nil end
                    local n = tvb(at, 1):uint()
                    if rest < 1 + n then return nil end
                    range = tvb(at, 1 + n)
                    value = n > 0 and tvb(at + 1, n):string() or ""
                    at = at + 1 + n
                elseif f.kind == "idbits" then
                    if rest < 2 then return nil end
                    local n = tvb(at, 2):le_uint()
                    if rest < 2 + n then return nil end
                    range = tvb(at, 2 + n)
                    value = n > 0 and idbits_text(tvb(at + 2, n)) or ""
                    at = at + 2 + n
                else
                    range = rest > 0 and tvb(at, rest) or tvb(at, 0)
                    value = rest > 0 and range:string() or ""
                    if f.kind == "bytes" then value = rest > 0 and tostring(range:bytes()) or "" end
                    at = limit
                end
                text = value
            end
            tree:add_le(vf.field, range, value)
            texts[#texts + 1] = f.name .. "=" .. tostring(text)
            i = i + 1
        end
    end
    return at
end

function qmi.dissector(tvb, pinfo, tree)
    local size = tvb:len()
    if size < 12 then return 0 end
    pinfo.cols.protocol = "QMI"
    local root = tree:add(qmi, tvb())
    root:add(pf.if_type, tvb(0, 1))
    root:add_le(pf.length, tvb(1, 2))
    root:add(pf.qmux_flags, tvb(3, 1))
    local service = tvb(4, 1):uint()
    local client = tvb(5, 1):uint()
    root:add(pf.service, tvb(4, 1))
    root:add(pf.client, tvb(5, 1))
    local flags = tvb(6, 1):uint()
    root:add(pf.flags, tvb(6, 1))
    local tid, off
    if service == 0 then
        root:add(pf.tid, tvb(7, 1))
        tid, off = tvb(7, 1):uint(), 8
    else
        if size < 13 then return size end
        root:add_le(pf.tid, tvb(7, 2))
        tid, off = tvb(7, 2):le_uint(), 9
    end
    -- CTL spells response and indication 1 and 2; the other services 2 and 4.
    local direction = flags == 0 and 1 or (service == 0 and flags * 2 or flags)
    local kind = frame_kinds[direction] or "unknown"
    root:add(pf.kind, kind)
    local msg = tvb(off, 2):le_uint()
    local name = kx_messages[service * 65536 + msg] or "unknown"
    root:add_le(pf.msg, tvb(off, 2))
    root:add(pf.msg_name, name)
    local tlvs_length = tvb(off + 2, 2):le_uint()
    root:add_le(pf.tlvs_length, tvb(off + 2, 2))
    off = off + 4
    local info = string.format("%s %s %s cid=%d tid=%d", kx_services[service] or "service?",
                               name, kind, client, tid)
    if off + tlvs_length ~= size or tvb(1, 2):le_uint() + 1 ~= size then
        root:add_proto_expert_info(ef_frame)
    end
    local limit = math.min(size, off + tlvs_length)
    while off + 3 <= limit do
        local tlv_type = tvb(off, 1):uint()
        local length = tvb(off + 1, 2):le_uint()
        local value_end = math.min(limit, off + 3 + length)
        local row = find_tlv(service, msg, direction, tlv_type)
        local tlv_tree = root:add(pf.tlv, tvb(off, value_end - off))
        tlv_tree:add(pf.tlv_type, tvb(off, 1))
        if row then tlv_tree:add(pf.tlv_name, row[5]) end
        tlv_tree:add_le(pf.tlv_length, tvb(off + 1, 2))
        local texts = {}
        if value_end > off + 3 then
            tlv_tree:add(pf.tlv_value, tvb(off + 3, value_end - off - 3))
        end
        if off + 3 + length > limit then
            tlv_tree:add_proto_expert_info(ef_frame)
        elseif row then
            local fields = layouts[row[6]]
            local at = read_group(fields, 1, #fields + 1, tvb, off + 3, value_end, tlv_tree, texts)
            if not at then tlv_tree:add_proto_expert_info(ef_short) end
        end
        tlv_tree:set_text(string.format("TLV 0x%02x %s: %s", tlv_type, row and row[5] or "unknown",
                                        table.concat(texts, " ")))
        if tlv_type == 2 and direction == 2 and length == 4 then
            local result, err = tvb(off + 3, 2):le_uint(), tvb(off + 5, 2):le_uint()
            info = info .. (result == 0 and " ok" or (" FAILED " .. (kx_enums.error[err] or err)))
        end
        off = off + 3 + length
    end
    local from_module = tvb(3, 1):uint() >= 128
    pinfo.cols.src = from_module and "module" or "host"
    pinfo.cols.dst = from_module and "host" or "module"
    pinfo.cols.info = info
    return size
end

local encaps = wtap_encaps or wtap
DissectorTable.get("wtap_encap"):add(encaps.USER0, qmi)
