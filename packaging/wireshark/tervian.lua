-- Wireshark dissector for the links of the Tervian Yaskawa Interface (tervian-bridge):
--   tervian_robot   the robot controller's 4-byte requests and the bridge's replies (TCP 5020)
--   tervian_dide    DIDE commands between the bridge and the vision application (TCP 32001)
--   tervian_stream  the vision application's measurement records (TCP 32002)
-- Other ports: Analyze > Decode As... > TCP port.
--
-- Replies are linked to their requests in order, per connection. Wireshark does this on its
-- first pass over the file; tshark needs -2 to show the link from a request to its reply.

local ROBOT_PORT, DIDE_PORT, STREAM_PORT = 5020, 32001, 32002
-- Request/reply arrows in the packet list; Wireshark before 3.6 has no frame types.
local FRAME_TYPE = frametype or {}
local SLOW_REPLY_S = 1.0
local DIDE_REPLY_S = 30.0 -- the bridge gives up waiting for the application after this
local MAX_RECORD = 4096 -- a stream record longer than this is shown as it stands

------------------------------------------------------------------------------------------------
-- State kept across the first pass, so that later passes (and clicks in the GUI) show the same.

-- Every PDU gets a key: its frame and its place among the PDUs of that frame. The counter is
-- reset at the end of every frame by the post-dissector below.
local pdu_in_frame = 0
local function pdu_key(pinfo)
    pdu_in_frame = pdu_in_frame + 1
    return pinfo.number .. "." .. pdu_in_frame
end

local pdus = {}          -- key -> what the first pass found out about that PDU
local segments = {}      -- frame -> the requests a segment from the robot completed
local conversations = {} -- connection -> its pending requests and framing state

local function conversation(pinfo, client_is_src)
    local client = client_is_src and (tostring(pinfo.src) .. ":" .. pinfo.src_port)
        or (tostring(pinfo.dst) .. ":" .. pinfo.dst_port)
    local server = client_is_src and (tostring(pinfo.dst) .. ":" .. pinfo.dst_port)
        or (tostring(pinfo.src) .. ":" .. pinfo.src_port)
    local key = client .. ">" .. server
    local c = conversations[key]
    if c == nil then
        c = { pending = {}, first = 1, last = 0, fragment = "" }
        conversations[key] = c
    end
    return c
end

local function push(c, request)
    c.last = c.last + 1
    c.pending[c.last] = request
end

local function pop(c)
    if c.first > c.last then return nil end
    local request = c.pending[c.first]
    c.pending[c.first] = nil
    c.first = c.first + 1
    return request
end

local function peek(c)
    return c.pending[c.first]
end

local function time_of(pinfo)
    return pinfo.abs_ts
end

local function nstime(seconds)
    local whole = math.floor(seconds)
    return NSTime.new(whole, math.floor((seconds - whole) * 1e9 + 0.5))
end

------------------------------------------------------------------------------------------------
-- Robot link.

local robot = Proto("tervian_robot", "Tervian robot link")

local REQUEST_NAMES = {
    status = "Status query",
    joint_id = "Joint-ID query",
    joint_data = "Joint-data query",
    laser_on = "Laser on",
    laser_off = "Laser off",
    laser_measure = "Laser on and start measure",
    set_joint = "Set joint ID",
    unrecognised = "Unrecognised request",
}

local REPLY_LENGTH = { status = 4, joint_id = 4, joint_data = 14, laser_on = 1, laser_off = 1,
    laser_measure = 1, set_joint = 1 }

local LINK_CODES = { [0x00] = "Link ok", [0x01] = "Vision application not ready" }
local RESULT_CODES = { [0x00] = "Joint recognised", [0x01] = "Vision application not ready",
    [0x0C] = "Joint not recognised" }

local rf = {
    request = ProtoField.bytes("tervian_robot.request", "Request", base.SPACE),
    name = ProtoField.string("tervian_robot.name", "Request name"),
    set_joint = ProtoField.int8("tervian_robot.set_joint_id", "Joint ID asked for"),
    reply = ProtoField.bytes("tervian_robot.reply", "Reply", base.SPACE),
    reply_to = ProtoField.string("tervian_robot.reply_to", "Reply to"),
    link = ProtoField.uint8("tervian_robot.link", "Link", base.HEX, LINK_CODES),
    result = ProtoField.uint8("tervian_robot.result", "Result", base.HEX, RESULT_CODES),
    status = ProtoField.uint8("tervian_robot.status", "Status bits", base.HEX),
    project_ready = ProtoField.bool("tervian_robot.status.project_ready", "Project ready", 8,
        nil, 0x08),
    laser = ProtoField.bool("tervian_robot.status.laser_on", "Laser on", 8, nil, 0x10),
    laser_off = ProtoField.uint8("tervian_robot.status.laser_off", "Laser-off byte", base.HEX),
    joint_id = ProtoField.uint8("tervian_robot.joint_id", "Joint ID"),
    y = ProtoField.double("tervian_robot.y", "Y (mm)"),
    z = ProtoField.double("tervian_robot.z", "Z (mm)"),
    width = ProtoField.double("tervian_robot.width", "Gap width (mm)"),
    zdiff = ProtoField.double("tervian_robot.zdiff", "Z difference (mm)"),
    area = ProtoField.double("tervian_robot.area", "Area"),
    request_in = ProtoField.framenum("tervian_robot.request_in", "Request in", base.NONE,
        FRAME_TYPE.REQUEST),
    response_in = ProtoField.framenum("tervian_robot.response_in", "Reply in", base.NONE,
        FRAME_TYPE.RESPONSE),
    time = ProtoField.relative_time("tervian_robot.time", "Response time"),
}
robot.fields = rf

local re = {
    split = ProtoExpert.new("tervian_robot.split", "Robot request not whole in one segment",
        expert.group.REASSEMBLE, expert.severity.WARN),
    unrecognised = ProtoExpert.new("tervian_robot.unrecognised", "Unrecognised robot request",
        expert.group.PROTOCOL, expert.severity.WARN),
    slow = ProtoExpert.new("tervian_robot.slow", "Reply took longer than 1 s",
        expert.group.SEQUENCE, expert.severity.WARN),
    not_ok = ProtoExpert.new("tervian_robot.not_ok", "The robot was told: not ready or not recognised",
        expert.group.RESPONSE_CODE, expert.severity.NOTE),
    unmatched = ProtoExpert.new("tervian_robot.unmatched", "Reply without a request",
        expert.group.SEQUENCE, expert.severity.NOTE),
    unanswered = ProtoExpert.new("tervian_robot.unanswered", "Request got no reply",
        expert.group.SEQUENCE, expert.severity.WARN),
    dropped = ProtoExpert.new("tervian_robot.dropped",
        "Front of a request dropped: its rest did not come within 200 ms",
        expert.group.MALFORMED, expert.severity.WARN),
    ignored = ProtoExpert.new("tervian_robot.ignored",
        "Bytes the bridge ignored: padding or junk", expert.group.PROTOCOL, expert.severity.NOTE),
}
robot.experts = { re.split, re.unrecognised, re.slow, re.not_ok, re.unmatched, re.unanswered,
    re.dropped, re.ignored }

local function classify(b0, b1, b2, b3)
    if b0 == 0x01 then
        if b1 == 0x01 and b2 == 0x06 then return "status" end
        if b1 == 0x01 and b2 == 0x10 then return "joint_id" end
        if b1 == 0x06 then return "joint_data" end
    elseif b0 == 0x02 and b1 == 0x01 then
        if b2 == 0x13 and b3 == 0x01 then return "laser_on" end
        if b2 == 0x06 and b3 == 0x00 then return "laser_off" end
        if b2 == 0x06 and b3 == 0x01 then return "laser_measure" end
        if b2 == 0x10 then return "set_joint" end
    end
    return "unrecognised"
end

-- The bridge's framing, followed here so that every request is read as the bridge read it:
-- requests are taken four bytes at a time from the start of each segment (joined to a front held
-- from before); a frame that is not a request ends the segment, and what follows it is padding.
-- Such a frame is a request of its own (answered with the bridge's previous reply) only when it
-- opens the segment and begins like one (01 or 02); fewer than four bytes at the end are held as
-- the front of the next request only when they begin like one, and dropped when the rest has not
-- come within 200 ms of their first byte.
local FRAGMENT_S = 0.2

local function can_begin(byte)
    return byte == 0x01 or byte == 0x02
end

-- Cuts one segment from the robot; c keeps the held front. Each request found gets its bytes
-- and where they start in this segment (below 0: they began in an earlier one).
local function frame_robot_segment(c, data, now)
    local found = { requests = {} }
    if #c.fragment > 0 and now - c.fragment_time > FRAGMENT_S then
        found.dropped = c.fragment
        c.fragment = ""
    end
    local held = #c.fragment
    local block = c.fragment .. data
    c.fragment = ""
    local at = 0
    while at + 4 <= #block do
        local b0, b1, b2, b3 = block:byte(at + 1, at + 4)
        local kind = classify(b0, b1, b2, b3)
        local taken = kind ~= "unrecognised" or (at == 0 and can_begin(b0))
        if taken then
            found.requests[#found.requests + 1] = { kind = kind, bytes = block:sub(at + 1, at + 4),
                start = at - held }
        end
        if kind == "unrecognised" then
            found.ignored_from = math.max((taken and at + 4 or at) - held, 0)
            return found
        end
        at = at + 4
    end
    if at < #block and can_begin(block:byte(at + 1)) then
        -- A front that only grew keeps the time of its first byte.
        if at > 0 or held == 0 then c.fragment_time = now end
        c.fragment = block:sub(at + 1)
    elseif at < #block then
        found.ignored_from = math.max(at - held, 0)
    end
    return found
end

-- The bridge's previous reply, which an unrecognised request hears again, is the server's: it
-- is kept across connections.
local servers = {}

local function server_of(pinfo)
    local key = tostring(pinfo.dst) .. ":" .. pinfo.dst_port
    servers[key] = servers[key] or { last_length = 0 }
    return servers[key]
end

-- First pass: a request is queued for its reply. The robot waits for each reply before it sends
-- again, so a request still waiting when a new one comes, with a reply seen since it was sent,
-- will have none: a bridge that answered only the first request of a block leaves such a request
-- behind. It is given up, so that the replies that follow are not taken for its.
local function note_robot_request(c, s, pinfo, request)
    c.order = (c.order or 0) + 1
    while peek(c) and peek(c).order < (c.last_reply_order or 0) do
        pop(c).unanswered = true
    end
    local info = { kind = request.kind, bytes = request.bytes, start = request.start,
        frame = pinfo.number, time = time_of(pinfo), order = c.order, conversation = c }
    if request.kind ~= "unrecognised" then
        info.reply_length = REPLY_LENGTH[request.kind]
        s.last_length, s.last_kind = info.reply_length, request.kind
    elseif s.last_length > 0 then
        info.reply_length, info.repeats = s.last_length, s.last_kind
    end
    if info.reply_length then
        info.expects = true
        push(c, info)
    end
    return info
end

-- Known once the first pass is over: a request that expected a reply and got none before its
-- connection closed, or within the time the bridge (or the application) takes at most.
local capture_end = 0

local function got_no_reply(info, wait_s)
    if not info.expects or info.reply_frame then return false end
    local closed = info.conversation.closed_at
    return info.unanswered or (closed ~= nil and closed >= info.time) or
        capture_end - info.time >= wait_s
end

local function hex(bytes)
    return (bytes:gsub(".", function(ch) return string.format("%02x", ch:byte()) end))
end

local function robot_request(tvb, pinfo, tree, info)
    -- A request that began in an earlier segment is shown whole from its own bytes.
    local range = info.start >= 0 and tvb(info.start, 4) or
        ByteArray.new(hex(info.bytes)):tvb("Robot request")()
    local kind = info.kind
    local item = tree:add(robot, range, "Robot request: " .. REQUEST_NAMES[kind])
    item:add(rf.request, range)
    item:add(rf.name, REQUEST_NAMES[kind])
    if kind == "set_joint" then item:add(rf.set_joint, range(3, 1)) end
    if info.reply_frame then
        item:add(rf.response_in, info.reply_frame):set_generated()
    end
    if got_no_reply(info, SLOW_REPLY_S) then item:add_proto_expert_info(re.unanswered) end
    if info.start < 0 then item:add_proto_expert_info(re.split) end
    if kind == "unrecognised" then item:add_proto_expert_info(re.unrecognised) end
    return REQUEST_NAMES[kind]
end

local function add_values(item, tvb)
    local names = { rf.y, rf.z, rf.width, rf.zdiff, rf.area }
    local text = {}
    for i, field in ipairs(names) do
        local range = tvb(2 + 2 * i, 2)
        local mm = range:int() / 100
        item:add(field, range, mm)
        text[#text + 1] = string.format("%.2f", mm)
    end
    return table.concat(text, " ")
end

local function robot_reply(tvb, pinfo, tree, info, length)
    local kind = info and info.kind or "unknown"
    if kind == "unrecognised" then kind = info.repeats or "unknown" end
    local item = tree:add(robot, tvb(0, length), "Robot reply")
    item:add(rf.reply, tvb(0, length))
    local summary = "Reply"
    if info and info.frame then
        item:add(rf.reply_to, REQUEST_NAMES[info.kind])
        item:add(rf.request_in, info.frame):set_generated()
        local elapsed = time_of(pinfo) - info.time
        item:add(rf.time, nstime(elapsed)):set_generated()
        if elapsed > SLOW_REPLY_S then item:add_proto_expert_info(re.slow) end
        summary = "Reply to " .. REQUEST_NAMES[info.kind]
    else
        item:add_proto_expert_info(re.unmatched)
    end
    if (kind == "status" or kind == "joint_id") and length >= 4 then
        item:add(rf.link, tvb(1, 1))
        if tvb(1, 1):uint() ~= 0 then item:add_proto_expert_info(re.not_ok) end
        if kind == "status" then
            local bits = item:add(rf.status, tvb(2, 1))
            bits:add(rf.project_ready, tvb(2, 1))
            bits:add(rf.laser, tvb(2, 1))
            item:add(rf.laser_off, tvb(3, 1))
            summary = summary .. ": " .. (LINK_CODES[tvb(1, 1):uint()] or "link code ?")
        else
            item:add(rf.joint_id, tvb(3, 1))
            summary = summary .. ": joint ID " .. tvb(3, 1):uint()
        end
    elseif kind == "joint_data" and length >= 14 then
        item:add(rf.result, tvb(1, 1))
        local code = tvb(1, 1):uint()
        if code ~= 0 then item:add_proto_expert_info(re.not_ok) end
        summary = summary .. ": " .. (RESULT_CODES[code] or "result code ?") .. " " ..
            add_values(item, tvb)
    end
    return summary
end

-- What the robot sent in one segment: the requests it completes, and what the bridge ignored.
local function robot_segment(tvb, pinfo, tree, c)
    local found = segments[pinfo.number]
    if not pinfo.visited then
        found = frame_robot_segment(c, tvb:raw(), time_of(pinfo))
        local s = server_of(pinfo)
        for i, request in ipairs(found.requests) do
            found.requests[i] = note_robot_request(c, s, pinfo, request)
        end
        segments[pinfo.number] = found
    end
    local texts = {}
    if found == nil then return texts end
    if found.dropped then
        tree:add(robot, tvb(0, 0), "Held front of a request dropped: " .. hex(found.dropped))
            :add_proto_expert_info(re.dropped)
    end
    for _, info in ipairs(found.requests) do
        texts[#texts + 1] = robot_request(tvb, pinfo, tree, info)
    end
    if found.ignored_from and found.ignored_from < tvb:len() then
        tree:add(robot, tvb(found.ignored_from), "Ignored by the bridge (no request begins here)")
            :add_proto_expert_info(re.ignored)
        texts[#texts + 1] = "ignored bytes"
    end
    return texts
end

function robot.dissector(tvb, pinfo, tree)
    local to_server = pinfo.dst_port == pinfo.match_uint
    local c = conversation(pinfo, to_server)
    if to_server then
        local texts = robot_segment(tvb, pinfo, tree, c)
        pinfo.cols.protocol = "Tervian robot"
        pinfo.cols.info = #texts > 0 and table.concat(texts, "; ") or "Front of a request"
        return tvb:len()
    end
    local offset, total = 0, tvb:len()
    local texts = {}
    while offset < total do
        local rest = total - offset
        local key = pdu_key(pinfo)
        local info = pdus[key]
        if not pinfo.visited then
            info = pop(c)
            local length = info and info.reply_length or rest
            if length > rest then
                -- Not whole yet: the request stays queued for the reassembled reply.
                if info then
                    c.first = c.first - 1
                    c.pending[c.first] = info
                end
                pdu_in_frame = pdu_in_frame - 1
                pinfo.desegment_offset = offset
                pinfo.desegment_len = length - rest
                break
            end
            if info then info.reply_frame = pinfo.number end
            c.order = (c.order or 0) + 1
            c.last_reply_order = c.order
            pdus[key] = { request = info, length = length }
        end
        local stored = pdus[key]
        if stored == nil then
            -- The first pass waited here for more of the reply.
            pdu_in_frame = pdu_in_frame - 1
            pinfo.desegment_offset = offset
            pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
            break
        end
        local length = math.min(stored.length, rest)
        texts[#texts + 1] = robot_reply(tvb(offset, length):tvb(), pinfo, tree, stored.request,
            length)
        offset = offset + length
    end
    if #texts > 0 then
        pinfo.cols.protocol = "Tervian robot"
        pinfo.cols.info = table.concat(texts, "; ")
    end
    -- A PDU that is not whole is asked for through desegment_len; what is there is taken.
    return total
end

------------------------------------------------------------------------------------------------
-- DIDE command link.

local dide = Proto("tervian_dide", "Tervian DIDE commands")

local df = {
    element = ProtoField.string("tervian_dide.element", "Element"),
    dir = ProtoField.string("tervian_dide.dir", "DIR"),
    cmd = ProtoField.string("tervian_dide.cmd", "CMD"),
    file = ProtoField.string("tervian_dide.file", "FILE"),
    state = ProtoField.string("tervian_dide.state", "STATE"),
    value = ProtoField.string("tervian_dide.value", "VALUE"),
    attribute = ProtoField.string("tervian_dide.attribute", "Attribute"),
    unasked = ProtoField.bool("tervian_dide.unasked", "Sent unasked"),
    request_in = ProtoField.framenum("tervian_dide.request_in", "Request in", base.NONE,
        FRAME_TYPE.REQUEST),
    response_in = ProtoField.framenum("tervian_dide.response_in", "Reply in", base.NONE,
        FRAME_TYPE.RESPONSE),
    time = ProtoField.relative_time("tervian_dide.time", "Response time"),
}
dide.fields = df

local de = {
    rejected = ProtoExpert.new("tervian_dide.rejected", "Request rejected by the vision application",
        expert.group.RESPONSE_CODE, expert.severity.WARN),
    slow = ProtoExpert.new("tervian_dide.slow", "Reply took longer than 1 s",
        expert.group.SEQUENCE, expert.severity.WARN),
    unasked = ProtoExpert.new("tervian_dide.unasked", "Element sent unasked",
        expert.group.SEQUENCE, expert.severity.NOTE),
    unanswered = ProtoExpert.new("tervian_dide.unanswered", "Request got no reply",
        expert.group.SEQUENCE, expert.severity.WARN),
}
dide.experts = { de.rejected, de.slow, de.unasked, de.unanswered }

-- The end of the tag that starts at start (a '>' outside quotes), or nil.
local function tag_end(text, start)
    local quoted = false
    for i = start, #text do
        local ch = text:sub(i, i)
        if ch == '"' then
            quoted = not quoted
        elseif ch == ">" and not quoted then
            return i
        end
    end
    return nil
end

-- The length of the first whole element in text (what precedes it belongs to it), or nil.
local function element_length(text)
    local start = text:find("<DIDE", 1, true)
    if not start then return nil end
    local close = tag_end(text, start)
    if not close then return nil end
    if text:sub(close - 1, close) == "/>" then return close end
    local end_tag = text:find("</DIDE", close, true)
    if not end_tag then return nil end
    return tag_end(text, end_tag)
end

local DIDE_FIELDS = { DIR = df.dir, CMD = df.cmd, FILE = df.file, STATE = df.state,
    VALUE = df.value }

local function dide_element(tvb, pinfo, tree, c, from_bridge)
    local text = tvb:raw()
    local key = pdu_key(pinfo)
    local info = pdus[key]
    local attributes = {}
    for name, value in text:gmatch('([%w_]+)="([^"]*)"') do
        attributes[#attributes + 1] = { name = name, value = value }
        attributes[name] = attributes[name] or value
    end
    if not pinfo.visited then
        if from_bridge then
            info = { frame = pinfo.number, time = time_of(pinfo), cmd = attributes.CMD,
                expects = true, conversation = c }
            push(c, info)
        else
            -- As the bridge judges: only an element that answers the command waiting is its
            -- reply; events and other elements in between are sent unasked.
            local waiting = peek(c)
            local answers = waiting and attributes.CMD == waiting.cmd and
                (attributes.DIR or ""):sub(1, 5) == "Reply"
            local request = answers and pop(c) or nil
            info = { request = request }
            if request then request.reply_frame = pinfo.number end
        end
        pdus[key] = info
    end
    info = info or {}
    local cmd = attributes.CMD or "?"
    local dir = attributes.DIR or "?"
    local item = tree:add(dide, tvb(), "DIDE " .. dir .. " " .. cmd)
    item:add(df.element, tvb())
    for _, a in ipairs(attributes) do
        local field = DIDE_FIELDS[a.name]
        if field then
            item:add(field, a.value)
        else
            item:add(df.attribute, a.name .. "=" .. a.value)
        end
    end
    local summary = dir .. " " .. cmd
    if attributes.FILE then summary = summary .. " " .. attributes.FILE end
    if attributes.STATE then summary = summary .. " " .. attributes.STATE end
    if from_bridge then
        if info.reply_frame then item:add(df.response_in, info.reply_frame):set_generated() end
        if got_no_reply(info, DIDE_REPLY_S) then item:add_proto_expert_info(de.unanswered) end
        return summary
    end
    if info.request then
        item:add(df.request_in, info.request.frame):set_generated()
        local elapsed = time_of(pinfo) - info.request.time
        item:add(df.time, nstime(elapsed)):set_generated()
        if elapsed > SLOW_REPLY_S then item:add_proto_expert_info(de.slow) end
    else
        item:add(df.unasked, true):set_generated()
        item:add_proto_expert_info(de.unasked)
        summary = summary .. " (unasked)"
    end
    if dir ~= "ReplyOk" then item:add_proto_expert_info(de.rejected) end
    return summary
end

function dide.dissector(tvb, pinfo, tree)
    local from_bridge = pinfo.dst_port == pinfo.match_uint
    local c = conversation(pinfo, from_bridge)
    local offset, total = 0, tvb:len()
    local texts = {}
    while offset < total do
        local length = element_length(tvb(offset):raw())
        if not length then
            pinfo.desegment_offset = offset
            pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
            break
        end
        texts[#texts + 1] = dide_element(tvb(offset, length):tvb(), pinfo, tree, c, from_bridge)
        offset = offset + length
        -- Blanks after the last element belong to no element.
        if tvb(offset):raw():match("^%s*$") then offset = total end
    end
    if #texts > 0 then
        pinfo.cols.protocol = "Tervian DIDE"
        pinfo.cols.info = table.concat(texts, "; ")
    end
    -- A PDU that is not whole is asked for through desegment_len; what is there is taken.
    return total
end

------------------------------------------------------------------------------------------------
-- Measurement stream.

local stream = Proto("tervian_stream", "Tervian measurement stream")

local sf = {
    record = ProtoField.string("tervian_stream.record", "Record"),
    status = ProtoField.string("tervian_stream.status", "Status"),
    y = ProtoField.double("tervian_stream.y", "Y (mm)"),
    z = ProtoField.double("tervian_stream.z", "Z (mm)"),
    width = ProtoField.double("tervian_stream.width", "Gap width (mm)"),
    zdiff = ProtoField.double("tervian_stream.zdiff", "Z difference (mm)"),
    area = ProtoField.double("tervian_stream.area", "Area"),
    good = ProtoField.bool("tervian_stream.good", "Status good"),
    recognised = ProtoField.bool("tervian_stream.recognised", "Joint recognised"),
}
stream.fields = sf

local STREAM_VALUES = { sf.y, sf.z, sf.width, sf.zdiff, sf.area }

-- The number a field starts with, as the bridge reads it (leading blanks skipped, the number
-- ending where it cannot go on), or nil when it starts with none.
local function leading_number(text)
    return tonumber(text:match("^%s*([+-]?%d*%.?%d+[eE][+-]?%d+)") or
        text:match("^%s*([+-]?%d+%.?%d*)") or text:match("^%s*([+-]?%.%d+)") or "")
end

local function stream_record(tvb, tree, length)
    local text = tvb(0, length):raw():gsub(";$", "")
    local item = tree:add(stream, tvb(0, length), "Record: " .. text)
    item:add(sf.record, text)
    local fields = {}
    for piece in (text .. ","):gmatch("([^,]*),") do fields[#fields + 1] = piece end
    local status = fields[1] or ""
    item:add(sf.status, status)
    local values = {}
    for i, field in ipairs(STREAM_VALUES) do
        local number = leading_number(fields[i + 1] or "")
        if number then
            item:add(field, number)
            values[i] = number
        end
    end
    local good = leading_number(status) == 0
    local z = values[2] or 0
    item:add(sf.good, good):set_generated()
    item:add(sf.recognised, good and z ~= 0):set_generated()
    return text
end

function stream.dissector(tvb, pinfo, tree)
    local offset, total = 0, tvb:len()
    local count = 0
    while offset < total do
        local rest = tvb(offset):raw()
        local stop = rest:find(";", 1, true)
        if not stop and #rest <= MAX_RECORD then
            pinfo.desegment_offset = offset
            pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
            break
        end
        local length = stop or #rest
        stream_record(tvb(offset, length):tvb(), tree, length)
        count = count + 1
        offset = offset + length
    end
    if count > 0 then
        pinfo.cols.protocol = "Tervian stream"
        pinfo.cols.info = count == 1 and "1 record" or (count .. " records")
    end
    -- A PDU that is not whole is asked for through desegment_len; what is there is taken.
    return total
end

------------------------------------------------------------------------------------------------

-- After every frame: the PDU counter starts again, and the first pass notes where the capture
-- ends and when each connection closed, for the requests that got no reply.
local tcp_fin = Field.new("tcp.flags.fin")
local reset = Proto("tervian_pdu_reset", "Tervian PDU counter")
function reset.dissector(tvb, pinfo)
    pdu_in_frame = 0
    if pinfo.visited then return end
    capture_end = math.max(capture_end, time_of(pinfo))
    local fin = tcp_fin()
    if not (fin and fin.value) then return end
    for _, port in ipairs({ ROBOT_PORT, DIDE_PORT }) do
        if pinfo.dst_port == port or pinfo.src_port == port then
            local c = conversation(pinfo, pinfo.dst_port == port)
            c.closed_at = c.closed_at or time_of(pinfo)
        end
    end
end
register_postdissector(reset)

function robot.init()
    pdus = {}
    segments = {}
    conversations = {}
    servers = {}
    capture_end = 0
    pdu_in_frame = 0
end

local tcp_port = DissectorTable.get("tcp.port")
tcp_port:add(ROBOT_PORT, robot)
tcp_port:add(DIDE_PORT, dide)
tcp_port:add(STREAM_PORT, stream)
