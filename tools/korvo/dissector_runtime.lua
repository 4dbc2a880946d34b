-- ---- the runtime: the same for every service definition ----------------------
-- It walks an image over RECORDS making korvo's checks in korvo's order, so a
-- refused image is marked at the byte and with the reason that `korvo check`
-- gives. Every read is bounded by the image's length before it is made, and the
-- walk runs under pcall: no packet makes the plugin raise a Lua error.
--
-- Speed: a packet's bytes are read once, as a Lua string, and taken apart
-- with string.byte; tree items, each a call into Wireshark with a range
-- object made for it, are made only for a tree that is shown or for fields a
-- filter, column or tap refers to (TreeItem.visible, TreeItem:referenced).
-- Without them (tshark -r, a filter on the call header, the statistics) the
-- walk makes its checks alone, for the Info column's verdict.

local pss = Proto("pss", "PatchSdkService call")

local BY_NAME = {}
for _, rec in ipairs(RECORDS) do
  BY_NAME[rec.name] = rec
  for _, slot in ipairs(rec.slots) do rec.vector = rec.vector or slot.kind == "vector" end
end

local FIELDS = {}
local function field(f)
  FIELDS[#FIELDS + 1] = f
  return f
end

-- The image's fields (its members, its structure) are a protocol of their
-- own, shown in pss's tree all the same: a filter, column or tap that refers
-- to any of them refers to pss_image, so that one question says whether an
-- image must be walked as a tree.
local image_proto = Proto("pss_image", "PatchSdkService call image")
local IMAGE_FIELDS = {}
local function image_field(f)
  IMAGE_FIELDS[#IMAGE_FIELDS + 1] = f
  return f
end

local byte, fmt = string.byte, string.format

-- A header field of the packet's bytes raw: { name, offset, width }.
local function read(raw, f)
  local pos, width = f[2] + 1, f[3]
  if width == 1 then return byte(raw, pos) end
  if width == 2 then
    local a, b = byte(raw, pos, pos + 1)
    return b * 256 + a
  end
  local a, b, c, d = byte(raw, pos, pos + 3)
  local low = ((d * 256 + c) * 256 + b) * 256 + a
  if width == 4 then return low end
  local e, f2, g, h = byte(raw, pos + 4, pos + 7)
  return (((h * 256 + g) * 256 + f2) * 256 + e) * 4294967296 + low
end

-- Whether the packet being dissected wants field f in its tree.
local VISIBLE, ANY, TREE
local function wanted(f) return VISIBLE or (ANY and TREE:referenced(f)) end

-- ---- fields ----------------------------------------------------------------
-- What the plugin adds about an image: pss.<fact>.
local CALL_FIELDS = {
  record = field(ProtoField.string("pss.record", "Record")),
  image = field(ProtoField.bytes("pss.image", "Image")),
  header = field(ProtoField.bytes("pss.header", "Call header")),
  elements = field(ProtoField.uint32("pss.elements", "Elements")),
  refused_at = field(ProtoField.uint32("pss.refused.offset", "Refused at byte")),
  refused_reason = field(ProtoField.string("pss.refused.reason", "Refusal reason")),
}

-- The image's structure: pss.korvo.<part>.
local K = {
  root = image_field(ProtoField.uint32("pss.korvo.root", "Root uoffset")),
  table = image_field(ProtoField.none("pss.korvo.table", "Table")),
  soffset = image_field(ProtoField.int32("pss.korvo.soffset", "soffset to its vtable")),
  vtable = image_field(ProtoField.none("pss.korvo.vtable", "vtable")),
  vtable_length = image_field(ProtoField.uint16("pss.korvo.vtable_length", "vtable length")),
  table_size = image_field(ProtoField.uint16("pss.korvo.table_size", "Table size")),
  entry = image_field(ProtoField.uint16("pss.korvo.entry", "vtable entry")),
  unread = image_field(ProtoField.bytes("pss.korvo.unread", "Not read")),
  unreferenced = image_field(ProtoField.bytes("pss.korvo.unreferenced", "Unreferenced")),
  uoffset = image_field(ProtoField.uint32("pss.korvo.uoffset", "uoffset")),
  count = image_field(ProtoField.uint32("pss.korvo.count", "Count")),
  element = image_field(ProtoField.uint32("pss.korvo.element", "Element")),
}

-- Every member: pss.<RECORD>.<member>, named as the public header names them;
-- a character array that is not text is pss.<RECORD>.<member>.bytes, and a
-- vector's count is pss.<RECORD>.<count member>.
local MEMBER = {}
for _, rec in ipairs(RECORDS) do
  local members = {}
  for i, slot in ipairs(rec.slots) do
    local abbr = "pss." .. rec.name .. "." .. slot.name
    local m = {}
    if slot.kind == "u8" then
      m.value = image_field(ProtoField.uint8(abbr, slot.name))
    elseif slot.kind == "u32" then
      m.value = image_field(ProtoField.uint32(abbr, slot.name))
    elseif slot.kind == "u64" then
      m.value = image_field(ProtoField.uint64(abbr, slot.name))
    elseif slot.kind == "bytes" then
      m.value = image_field(ProtoField.string(abbr, slot.name))
      m.bytes = image_field(ProtoField.bytes(abbr .. ".bytes", slot.name))
    else
      -- A nested table or a vector: the item of its uoffset, its members below.
      m.value = image_field(ProtoField.none(abbr, slot.name))
      if slot.kind == "vector" then
        m.count = image_field(ProtoField.uint32("pss." .. rec.name .. "." .. slot.count, slot.count))
      end
    end
    members[i] = m
  end
  MEMBER[rec.name] = members
end

local E = {
  refused = ProtoExpert.new("pss.refused", "Image refused", expert.group.MALFORMED,
                            expert.severity.ERROR),
  cut = ProtoExpert.new("pss.cut", "Image cut by the trace's size cap", expert.group.UNDECODED,
                        expert.severity.WARN),
  status = ProtoExpert.new("pss.failed", "Call failed", expert.group.RESPONSE_CODE,
                           expert.severity.WARN),
  header = ProtoExpert.new("pss.bad_header", "Malformed call header", expert.group.MALFORMED,
                           expert.severity.ERROR),
  fault = ProtoExpert.new("pss.dissector_fault", "Dissector fault", expert.group.MALFORMED,
                          expert.severity.ERROR),
  lost = ProtoExpert.new("pss.lost", "Packets lost before this one", expert.group.SEQUENCE,
                         expert.severity.WARN),
}

pss.experts = { E.refused, E.cut, E.status, E.header, E.fault, E.lost }

-- ---- text -------------------------------------------------------------------
-- A character array is text when it is UTF-8 up to its first NUL and zeros
-- after it, as korvo's JSON form decides.
local function is_utf8(s)
  local i, n = 1, #s
  while i <= n do
    local c = s:byte(i)
    local more, cp
    if c < 0x80 then more, cp = 0, c
    elseif c >= 0xC0 and c < 0xE0 then more, cp = 1, c - 0xC0
    elseif c >= 0xE0 and c < 0xF0 then more, cp = 2, c - 0xE0
    elseif c >= 0xF0 and c < 0xF8 then more, cp = 3, c - 0xF0
    else return false end
    if i + more > n then return false end
    for k = 1, more do
      local b = s:byte(i + k)
      if b < 0x80 or b >= 0xC0 then return false end
      cp = cp * 64 + (b - 0x80)
    end
    local min = ({ [0] = 0, 0x80, 0x800, 0x10000 })[more]
    if cp < min or (cp >= 0xD800 and cp <= 0xDFFF) or cp > 0x10FFFF then return false end
    i = i + more + 1
  end
  return true
end

local function text_of(s)
  local nul = s:find("\0", 1, true)
  local text = nul and s:sub(1, nul - 1) or s
  if nul and s:find("[^\0]", nul) then return nil end
  if not is_utf8(text) then return nil end
  return text
end

-- ---- the walk ---------------------------------------------------------------
local TWO32 = POSITION_LIMIT
local WIDTH = { u8 = 1, u32 = 4, u64 = 8 }

local REFUSAL = {}
local function refuse(pos, reason)
  error(setmetatable({ pos = pos, reason = reason }, REFUSAL), 0)
end

-- A refusal's words, its values filled in as korvo fills them.
local function say(key, values)
  return (REFUSALS[key]:gsub("{(%w+)}", function(name)
    local v = values[name]
    if type(v) == "number" then return fmt("%d", v) end
    return v
  end))
end

local function join(path, name)
  if path == "" then return name end
  return path .. "." .. name
end

-- Adds a value that the image does not hold: the decoder's zero for an absent
-- member. range is the vtable entry that says so, where there is one.
local function add_absent(tree, rec, i, range)
  local slot, m = rec.slots[i], MEMBER[rec.name][i]
  local item
  if slot.kind == "table" or slot.kind == "vector" then
    item = (range and tree:add(m.value, range) or tree:add(m.value)):set_text(slot.name)
  else
    local value = slot.kind == "u64" and UInt64(0) or slot.kind == "bytes" and "" or 0
    item = range and tree:add(m.value, range, value) or tree:add(m.value, value)
  end
  item:set_generated():append_text(" (absent)")
  if slot.kind == "table" then
    local sub = BY_NAME[slot.sub]
    for j = 1, #sub.slots do add_absent(item, sub, j, nil) end
  elseif slot.kind == "vector" then
    item:add(m.count, 0):set_generated():append_text(" (absent)")
  end
end

-- The image being walked: the packet's bytes as a string and where the
-- image starts in them, the image as a Tvb (for tree items), its length, the
-- regions its items show, the root's element count. One image is walked at
-- a time; the walk's functions are made once, not per packet.
local IMG, BASE, TVB, LEN, REGIONS, ELEMENTS

local function holds(pos, width) return pos + width <= LEN end
local function u16(pos)
  local a, b = byte(IMG, BASE + pos + 1, BASE + pos + 2)
  return b * 256 + a
end
local function u32(pos)
  local a, b, c, d = byte(IMG, BASE + pos + 1, BASE + pos + 4)
  return ((d * 256 + c) * 256 + b) * 256 + a
end
-- The bytes an item shows; what none shows is listed as unreferenced.
local function shown(pos, n)
  REGIONS[#REGIONS + 1] = { pos, n }
  return TVB(pos, n)
end

local walk_table

-- The uoffset of a character array's byte vector, and with count its count.
local function bytes_items(parent, at, vec, path, count)
  parent:add_le(K.uoffset, shown(at, 4)):set_text(
    fmt("%s: uoffset to its byte vector at %d", path, vec))
  if count then
    parent:add_le(K.count, shown(vec, 4)):set_text(fmt("%s: count %d", path, count))
  end
end

-- A character array's byte vector at vec (its uoffset at at). path is
-- made only when wanted: parent's path and the member's name.
local function walk_bytes(tree, m, slot, at, vec, parent, name)
  if not holds(vec, 4) then
    local path = join(parent, name)
    if tree then bytes_items(tree, at, vec, path) end
    refuse(at, say("vector_past_end", { path = path, what = "byte vector", pos = vec, len = LEN }))
  end
  local count = u32(vec)
  if count ~= slot.len then
    local path = join(parent, name)
    if tree then bytes_items(tree, at, vec, path, count) end
    refuse(vec, say("array_length", { path = path, n = count, width = slot.len }))
  end
  if not holds(vec + 4, slot.len) then
    local path = join(parent, name)
    if tree then bytes_items(tree, at, vec, path, count) end
    refuse(vec, say("array_past_end", { path = path, width = slot.len, pos = vec + 4, len = LEN }))
  end
  if not tree then return end
  local range = shown(vec + 4, slot.len)
  local text = text_of(IMG:sub(BASE + vec + 5, BASE + vec + 4 + slot.len))
  bytes_items(text and tree:add(m.value, range, text) or tree:add(m.bytes, range), at, vec,
              join(parent, name), count)
end

local function walk_vector(tree, m, slot, at, vec, path, root)
  if not holds(vec, 4) then
    refuse(at, say("vector_past_end", { path = path, what = "vector", pos = vec, len = LEN }))
  end
  local count = u32(vec)
  if tree then tree:add_le(m.count, shown(vec, 4)) end
  if count >= MAX_VECTOR then refuse(vec, say("count_too_large", { path = path, n = count })) end
  if not holds(vec + 4, 4 * count) then
    refuse(vec, say("offsets_past_end", { path = path, n = count, len = LEN }))
  end
  local sub = BY_NAME[slot.sub]
  local bytes = count * sub.size
  local limit = ELEMENT_ARRAY.factor * LEN + ELEMENT_ARRAY.slack
  if bytes > MAX_ARRAY or bytes > limit then
    local array = { path = path, n = count, width = sub.size, bytes = bytes, len = LEN,
                    limit = limit }
    if bytes > MAX_ARRAY then refuse(vec, say("array_too_large", array)) end
    refuse(vec, say("array_over_limit", array))
  end
  if root then ELEMENTS = ELEMENTS + count end
  for k = 0, count - 1 do
    local pos = vec + 4 + 4 * k
    local target = pos + u32(pos)
    local name = fmt("%s[%d]", path, k)
    local item = tree and tree:add_le(K.element, shown(pos, 4), k):set_text(
      fmt("%s: uoffset to its table at %d", name, target))
    if target >= TWO32 then refuse(pos, say("offset_past_4g", { path = name, n = u32(pos) })) end
    walk_table(item, sub, target, pos, name, name, false)
  end
end

-- Slot i of rec at at (its vtable entry at entry); its path is parent's
-- and its name, made only when wanted.
local function walk_slot(tree, rec, i, at, entry, parent, root)
  local slot, m = rec.slots[i], MEMBER[rec.name][i]
  local width = WIDTH[slot.kind]
  if width then
    if not holds(at, width) then
      refuse(entry, say("value_past_end", { path = join(parent, slot.name), width = width,
                                             pos = at, len = LEN }))
    end
    if tree then tree:add_le(m.value, shown(at, width)) end
    return
  end
  if not holds(at, 4) then
    refuse(entry, say("offset_past_end", { path = join(parent, slot.name), pos = at, len = LEN }))
  end
  local target = at + u32(at)
  if slot.kind == "bytes" then
    if target >= TWO32 then
      if tree then tree:add_le(K.uoffset, shown(at, 4)) end
      refuse(at, say("offset_past_4g", { path = join(parent, slot.name), n = u32(at) }))
    end
    walk_bytes(tree, m, slot, at, target, parent, slot.name)
    return
  end
  local path = join(parent, slot.name)
  local item = tree and tree:add(m.value, shown(at, 4)):set_text(
    fmt("%s: uoffset to its %s at %d", path, slot.kind == "table" and "table" or "vector", target))
  if target >= TWO32 then refuse(at, say("offset_past_4g", { path = path, n = u32(at) })) end
  if slot.kind == "table" then
    walk_table(item, BY_NAME[slot.sub], target, at, path, path, false)
  else
    walk_vector(item, m, slot, at, target, path, root)
  end
end

-- A table: its soffset, its vtable with one entry per slot, its members.
walk_table = function(tree, rec, pos, referrer, path, label, root)
  if pos < 4 or not holds(pos, 4) then
    if LEN < 8 then refuse(referrer, say("no_table", { label = label, pos = pos, len = LEN })) end
    refuse(referrer, say("table_position", { label = label, pos = pos, last = LEN - 4 }))
  end
  local soffset = u32(pos)
  local vt = (pos - soffset) % TWO32
  local signed = soffset >= 2147483648 and soffset - TWO32 or soffset
  local t = tree and tree:add(K.table, shown(pos, 4)):set_text(
    fmt("%s table %s: soffset %s%d, vtable at %d", label, rec.name, signed > 0 and "+" or "",
        signed, vt))
  if t then t:add_le(K.soffset, TVB(pos, 4)) end
  if vt < 4 or not holds(vt, 4) then
    refuse(pos, say("vtable_position", { label = label, soffset = signed, pos = vt, last = LEN - 4 }))
  end
  local vtlen = u16(vt)
  local v
  if t then
    v = t:add(K.vtable, shown(vt, 4)):set_text(
      fmt("%s vtable: length %d, table size %d", label, vtlen, u16(vt + 2)))
    v:add_le(K.vtable_length, TVB(vt, 2))
    v:add_le(K.table_size, TVB(vt + 2, 2))
  end
  if not holds(vt, vtlen) then
    refuse(vt, say("vtable_length", { label = label, n = vtlen, room = LEN - vt }))
  end
  local slots = rec.slots
  local entries = vtlen >= 4 and math.floor((vtlen - 4) / 2) or 0
  if v then
    for i = 0, math.min(entries, #slots) - 1 do
      local e = u16(vt + 4 + 2 * i)
      local name = slots[i + 1].name
      v:add_le(K.entry, shown(vt + 4 + 2 * i, 2)):set_text(e == 0
        and fmt("slot %d %s: absent", i, name) or fmt("slot %d %s: at +%d", i, name, e))
    end
    -- Entries past the record's slots (a newer writer's) and an odd last
    -- byte are not read; one item covers them all.
    local known = vt + 4 + 2 * math.min(entries, #slots)
    if vtlen > 4 and vt + vtlen > known then
      v:add(K.unread, shown(known, vt + vtlen - known)):set_text(
        fmt("slots %d and on (not in the record) and padding: %d bytes, not read",
            #slots, vt + vtlen - known))
    end
  end
  for i = 1, #slots do
    local entry = vt + 4 + 2 * (i - 1)
    local e = i <= entries and u16(entry) or 0
    if e == 0 then
      if t then add_absent(t, rec, i, i <= entries and TVB(entry, 2) or nil) end
    else
      walk_slot(t, rec, i, pos + e, entry, path, root)
    end
  end
end

-- Walks the image (from base in raw, the packet's bytes; tvb, the image as
-- a Tvb, for the tree) as record rec under tree, or makes the checks alone
-- when tree is nil. Returns the number of elements of the root's vectors;
-- raises a REFUSAL where korvo refuses.
local function walk(tvb, raw, base, tree, rec)
  IMG, BASE, TVB, LEN, REGIONS, ELEMENTS = raw, base, tvb, #raw - base, {}, 0
  if LEN < 4 then
    refuse(0, say("short", { len = LEN }))
  end
  local root = u32(0)
  if tree then tree:add_le(K.root, shown(0, 4)):set_text(fmt("root uoffset: root table at %d", root)) end
  walk_table(tree, rec, root, 0, "", "root", true)
  if not tree then return ELEMENTS end
  table.sort(REGIONS, function(a, b) return a[1] < b[1] end)
  local covered = 0
  local function unreferenced(to)
    if to > covered then
      tree:add(K.unreferenced, tvb(covered, to - covered)):set_text(
        fmt("unreferenced (%d bytes): padding or unused", to - covered))
    end
  end
  for _, r in ipairs(REGIONS) do
    unreferenced(r[1])
    covered = math.max(covered, r[1] + r[2])
  end
  unreferenced(LEN)
  return ELEMENTS
end

-- Walks the image. Returns the element count, or nil and the refusal (pos,
-- reason), or nil and a fault text when the walk itself failed.
local function walk_image(tvb, raw, base, tree, rec)
  local ok, result = pcall(walk, tvb, raw, base, tree, rec)
  if ok then return result end
  if getmetatable(result) == REFUSAL then return nil, result end
  return nil, nil, tostring(result)
end

-- ---- the image ----------------------------------------------------------------
-- Shows the image of record name (at hlen in packet, whose bytes are raw)
-- under tree (walking it as a tree when bTree) and marks a refusal where
-- korvo makes it. Returns the element count (nil when refused) and the
-- verdict's text for the Info column. The image's own Tvb is made only when
-- needed.
local function dissect_image(packet, hlen, raw, tree, name, original, bTree)
  local rec = BY_NAME[name]
  local len = #raw - hlen
  local tvb
  local image = tree
  if bTree or wanted(CALL_FIELDS.image) then
    tvb = packet(hlen):tvb()
    image = tree:add(CALL_FIELDS.image, tvb()):set_text(fmt("%s, %d bytes", name, len))
  end
  local elements, refusal, fault = walk_image(tvb, raw, hlen, bTree and image or nil, rec)
  if fault then
    image:add_proto_expert_info(E.fault, "dissector fault: " .. fault)
    return nil, "dissector fault"
  end
  if not refusal then
    if rec.vector and (bTree or wanted(CALL_FIELDS.elements)) then
      tree:add(CALL_FIELDS.elements, elements):set_generated()
    end
    return elements
  end
  tvb = tvb or packet(hlen):tvb()
  local at = refusal.pos < len and tvb(refusal.pos, 1) or tvb()
  local text = fmt("%s refused at byte %d: %s", name, refusal.pos, refusal.reason)
  if original > len then
    -- The walk ran into the end of what the trace kept, not into damage.
    image:add_tvb_expert_info(E.cut, at, fmt("only %d of %d bytes kept; %s", len, original, text))
    return nil, "cut"
  end
  image:add_tvb_expert_info(E.refused, at, text)
  tree:add(CALL_FIELDS.refused_at, at, refusal.pos):set_generated()
  tree:add(CALL_FIELDS.refused_reason, at, refusal.reason):set_generated()
  return nil, "refused at byte " .. refusal.pos
end

-- ---- the call header ----------------------------------------------------------
-- Little-endian, the image after it at its length. Every field of HEADER_FIELDS
-- is a field pss.<name> shown with its own bytes; coded ones with their names,
-- the status in hex with its name, the duration as a time, any other as a
-- number. Plain arithmetic: bit libraries differ between Lua versions.
local function has(flags, flag) return math.floor(flags / flag) % 2 == 1 end
local function in_version(f, version) return has(f[4], 2 ^ (version - 1)) end

local CODED = { direction = DIRECTIONS, family = FAMILIES, layout = LAYOUTS, verdict = VERDICTS }
local H = {}
local INTS = { [1] = ProtoField.uint8, [2] = ProtoField.uint16, [4] = ProtoField.uint32,
               [8] = ProtoField.uint64 }
local widest = {}
for _, f in ipairs(HEADER_FIELDS) do widest[f[1]] = math.max(widest[f[1]] or 0, f[3]) end
for _, f in ipairs(HEADER_FIELDS) do
  local name, title = f[1], f[5]
  local abbr = "pss." .. name
  if H[name] then
    -- a field that moved between versions: one filter field
  elseif name == "duration" then
    H[name] = field(ProtoField.relative_time(abbr, title))
  elseif name == "status" then
    -- pss.status == "KELM_ERR_BAD_ANSWER" filters; a code without a name shows in hex.
    H[name] = field(INTS[widest[name]](abbr, title, base.HEX, STATUSES))
  elseif name == "flags" then
    H[name] = field(INTS[widest[name]](abbr, title, base.HEX))
  elseif CODED[name] then
    H[name] = field(INTS[widest[name]](abbr, title, base.DEC, CODED[name]))
  else
    H[name] = field(INTS[widest[name]](abbr, title))
  end
end
local FLAG_FIELDS, FLAG = {}, {}
for i, flag in ipairs(FLAGS) do
  FLAG[flag[1]] = flag[2]
  FLAG_FIELDS[i] = field(ProtoField.bool("pss.flags." .. flag[1], flag[3], 8, nil, flag[2]))
end
local KNOWN_VERSIONS = {}
for version in pairs(NAMES_AT) do KNOWN_VERSIONS[#KNOWN_VERSIONS + 1] = version end
table.sort(KNOWN_VERSIONS)
H.service = field(ProtoField.string("pss.service", "Service"))
H.method = field(ProtoField.string("pss.method", "Method"))
H.answer_in = field(ProtoField.framenum("pss.answer_in", "Answer in", base.NONE, frametype.RESPONSE))
H.request_in = field(ProtoField.framenum("pss.request_in", "Request in", base.NONE,
                                         frametype.REQUEST))
pss.fields = FIELDS
image_proto.fields = IMAGE_FIELDS
-- Never called: gives the protocol a handle to ask about.
function image_proto.dissector() end

-- Each version's fields in header order, looked up once: { name, offset,
-- width, field }, and where each lies by name.
local LAYOUT, AT = {}, {}
for version in pairs(NAMES_AT) do
  LAYOUT[version], AT[version] = {}, {}
  for _, f in ipairs(HEADER_FIELDS) do
    if in_version(f, version) then
      local entry = { f[1], f[2], f[3], H[f[1]] }
      LAYOUT[version][#LAYOUT[version] + 1] = entry
      AT[version][f[1]] = entry
    end
  end
end

local METHOD_BY_NAME, METHOD_RANK = {}, {}
for i, m in ipairs(METHODS) do
  METHOD_BY_NAME[m[1]] = { request = m[2], response = m[3] }
  METHOD_RANK[m[1]] = i - 1
end

-- Requests and answers paired as every reader of traces pairs them: one
-- process's call number, the answer after the request and of the same
-- method; a request whose number comes again unanswered is left so. Filled on
-- the first pass: waiting requests by process and call, and each paired
-- frame's partner. Losses too: each process's count so far, and the packets
-- after a loss with how many were lost before them.
local waiting, waiting_service, waiting_method, answer_of, duration_of, request_of
local drops, losses
local function init()
  waiting, waiting_service, waiting_method = {}, {}, {}
  answer_of, duration_of, request_of = {}, {}, {}
  drops, losses = {}, {}
end
init()
pss.init = init

local function nstime(ns)
  return NSTime(math.floor(ns / 1e9), ns % 1e9)
end

local function pair(number, direction, process, call, service, method, duration)
  local key = process .. "/" .. call
  if direction == 1 then
    waiting[key], waiting_service[key], waiting_method[key] = number, service, method
    return
  end
  local request = waiting[key]
  if request and waiting_service[key] == service and waiting_method[key] == method then
    answer_of[request], duration_of[request], request_of[number] = number, duration, request
    waiting[key], waiting_service[key], waiting_method[key] = nil, nil, nil
  end
end

-- The packets lost just before this one, as korvo counts them: the count
-- the packet carries (epb_dropcount), else the rise of its process's count
-- since that process's previous packet.
-- The tracer writes both from one counter, so epb_dropcount is asked for
-- only where the count moved, or at a process's first packet.
local drop_count = Field.new("frame.drop_count")
local function count_losses(number, process, count)
  local before = drops[process]
  if before and count <= before then return end
  local epb = drop_count()
  epb = epb and epb.value or 0
  if type(epb) ~= "number" then epb = epb:tonumber() end
  local lost = epb > 0 and epb or (before and count - before) or 0
  drops[process] = count
  if lost > 0 then losses[number] = lost end
end

local THIS, IMAGE  -- the dissector and the image's protocol, once registered (below)
local NONE = {}
-- Each method's name without the service's prefix, for the Info column.
local OPS = setmetatable({}, { __index = function(ops, method)
  ops[method] = method:gsub("^QOMA_PAT_", "")
  return ops[method]
end })

-- What the statistics need of the packet just dissected (nil frame: no call).
local CALL = { frame = nil }

local function status_text(status)
  return STATUSES[status] or fmt("0x%x", status)
end

local function dissect_call(tvb, pinfo, tree)
  local len = tvb:len()
  local raw = tvb:raw(0, len)
  local version = len > 0 and byte(raw, 1) or 0
  if not NAMES_AT[version] then
    if len == 0 then
      tree:add_proto_expert_info(E.header, "0 bytes: no call header")
      return "malformed call header"
    end
    tree:add(H.version, tvb(0, 1)):add_proto_expert_info(E.header, fmt(
      "header version %d: the versions known are %s", version, table.concat(KNOWN_VERSIONS, " and ")))
    return "unknown header version " .. version
  end
  local names_at = NAMES_AT[version]
  if len < names_at then
    tree:add_proto_expert_info(E.header, fmt("%d bytes: shorter than a version %d call header (%d)",
                                             len, version, names_at))
    return "malformed call header"
  end
  local at = AT[version]
  local function get(name) return read(raw, at[name]) end
  -- A field is wanted when the tree is shown or a filter, column or tap
  -- refers to it; referring to any field of pss refers to pss itself, so one
  -- question stands for them all in most packets.
  VISIBLE, TREE = tree.visible, tree
  ANY = VISIBLE or tree:referenced(THIS)
  local visible, any = VISIBLE, ANY
  local hlen = get("header_length")
  local s, m = get("service_length"), get("method_length")
  if hlen < names_at + s + m or hlen > len then
    local header = tree:add(CALL_FIELDS.header, tvb(0, math.min(hlen, len))):set_text("Call header")
    header:add(H.header_length, tvb(at.header_length[2], at.header_length[3]), hlen)
    header:add_proto_expert_info(E.header, fmt(
      "header length %d: at least %d (its names) and at most the packet's %d bytes", hlen,
      names_at + s + m, len))
    return "malformed call header"
  end
  local direction, flags, status = get("direction"), get("flags"), get("status")
  local duration = get("duration")
  local call = get("call")
  local process = at.process and get("process") or 0
  local service = raw:sub(names_at + 1, names_at + s)
  local method = raw:sub(names_at + s + 1, names_at + s + m)
  local layout, verdict = get("layout"), get("verdict")
  local family, original = get("family"), get("original_length")
  local result = has(flags, FLAG.result)

  -- The header's fields, those shown or referenced.
  local header
  local function parent()
    header = header or tree:add(CALL_FIELDS.header, tvb(0, hlen)):set_text("Call header")
    return header
  end
  for _, f in ipairs(any and LAYOUT[version] or NONE) do
    local name, hf = f[1], f[4]
    local shown = true
    if (name == "value" or name == "status") and not result then shown = false end
    if name == "duration" and direction ~= 2 then shown = false end
    if shown and wanted(hf) then
      local range = tvb(f[2], f[3])
      local item
      if name == "duration" then
        item = parent():add(hf, range, nstime(duration))
      elseif f[3] == 8 then
        item = parent():add(hf, range, UInt64(get(name)))
      else
        item = parent():add(hf, range, get(name))
      end
      if name == "flags" then
        for _, flag_field in ipairs(FLAG_FIELDS) do item:add(flag_field, range) end
      elseif name == "status" and status ~= 0 then
        item:add_proto_expert_info(E.status, "uiStatus " .. status_text(status))
      end
    end
  end
  if status ~= 0 and result and not (header and wanted(H.status)) then
    tree:add_proto_expert_info(E.status, "uiStatus " .. status_text(status))
  end
  if wanted(H.service) then parent():add(H.service, tvb(names_at, s)) end
  if wanted(H.method) then parent():add(H.method, tvb(names_at + s, m)) end

  -- Request and answer, linked both ways; losses before this packet.
  local number = pinfo.number
  if not pinfo.visited then
    pair(number, direction, process, call, service, method, duration)
    count_losses(number, process, get("drops"))
  end
  local lost = losses[number]
  if lost then
    tree:add_proto_expert_info(E.lost, fmt("%d packets lost before this one (the tracer's count)", lost))
  end
  if answer_of[number] then
    if wanted(H.answer_in) then tree:add(H.answer_in, answer_of[number]):set_generated() end
    if wanted(H.duration) then tree:add(H.duration, nstime(duration_of[number])):set_generated() end
  elseif request_of[number] then
    if wanted(H.request_in) then tree:add(H.request_in, request_of[number]):set_generated() end
  end

  local kept = len - hlen
  CALL.frame, CALL.direction, CALL.process, CALL.call = number, direction, process, call
  CALL.service, CALL.method, CALL.family, CALL.status = service, method, family, status
  CALL.verdict, CALL.duration = verdict, duration
  CALL.cut = has(flags, FLAG.cut) or kept < original

  local info = fmt("Call %d: %s %s", call, OPS[method], DIRECTIONS[direction] or "?")
  if direction == 1 and family ~= 1 then info = info .. ", " .. (FAMILIES[family] or "?") end
  if result then
    info = info .. (status == 0 and ", ok" or ", status " .. status_text(status))
  end

  -- The image, as the record that the method and direction name.
  if len == hlen then
    if layout == 0 then info = info .. ", no image" end
    return info
  end
  local names = METHOD_BY_NAME[method]
  local record = names and (direction == 1 and names.request or direction == 2 and names.response)
  if service ~= SERVICE or not record then
    tree:add(CALL_FIELDS.image, tvb(hlen)):set_text(fmt("Image, %d bytes: no record of %s.%s",
                                                       kept, service, method))
    return info
  end
  if has(flags, FLAG.cut) and original < kept then original = kept end
  if wanted(CALL_FIELDS.record) then tree:add(CALL_FIELDS.record, record):set_generated() end
  local bTree = visible or tree:referenced(IMAGE)
  local elements, outcome = dissect_image(tvb, hlen, raw, tree, record,
                                          math.max(original, kept), bTree)
  if verdict == 2 and elements then
    tree:add_proto_expert_info(E.refused, fmt(
      "%s refused by the library's decoder; korvo's walk found no failing check", record))
    outcome = "refused by the decoder"
  elseif verdict == 2 and outcome == "cut" then
    outcome = "refused by the decoder, cut"
  end
  if elements and elements > 0 then info = info .. fmt(", %d elements", elements) end
  if outcome then info = info .. ", " .. outcome end
  return info
end

function pss.dissector(tvb, pinfo, tree)
  pinfo.cols.protocol = "PSS"
  local root = tree:add(pss, tvb())
  CALL.frame = nil
  local ok, info = pcall(dissect_call, tvb, pinfo, root)
  if not ok then
    CALL.frame = nil
    root:add_proto_expert_info(E.fault, "dissector fault: " .. tostring(info))
    info = "dissector fault"
  end
  pinfo.cols.info:set(info)
  return tvb:len()
end

-- Traces are written with link type LINKTYPE_USER0: they open without "Decode As".
DissectorTable.get("wtap_encap"):add(wtap_encaps.USER0, pss)
THIS, IMAGE = Dissector.get("pss"), Dissector.get("pss_image")

-- ---- statistics: tshark -z pss,srt[,FILTER], Statistics > Service Response Time
-- The calls paired by the rule above (and korvo's limit on waiting requests),
-- counted per method and family as korvo trace --stats counts them, and
-- printed in its layout (STATS): the same table for the same calls.
local function new_stats()
  return { rows = {}, waiting = {}, queue = {}, head = 1, tail = 0, count = 0, order = 0 }
end

local function row_of(st, c)
  local key = c.service .. "\0" .. c.method .. "\0" .. c.family
  local row = st.rows[key]
  if not row then
    row = { service = c.service, method = c.method, family = c.family, calls = 0, ok = 0,
            failed = 0, refused = 0, cut = 0, unanswered = 0, failures = {}, durations = {},
            rank = c.service == SERVICE and METHOD_RANK[c.method] or #METHODS }
    st.rows[key] = row
  end
  return row
end

-- A call: its request's facts, its answer's, or both.
local function count_call(st, request, answer)
  local row = row_of(st, request or answer)
  row.calls = row.calls + 1
  if (request and request.cut) or (answer and answer.cut) then row.cut = row.cut + 1 end
  if not answer then
    row.unanswered = row.unanswered + 1
    return
  end
  if answer.status == 0 then
    row.ok = row.ok + 1
  else
    row.failed = row.failed + 1
    row.failures[answer.status] = (row.failures[answer.status] or 0) + 1
  end
  if answer.verdict == 2 then row.refused = row.refused + 1 end
  row.durations[#row.durations + 1] = answer.duration
end

local function add_call_packet(st, c)
  local key = c.process .. "/" .. c.call
  local w = st.waiting[key]
  if c.direction ~= 1 then
    if w and w.service == c.service and w.method == c.method then
      st.waiting[key], st.count = nil, st.count - 1
      count_call(st, w, c)
    else
      count_call(st, nil, c)
    end
    return
  end
  if w then
    st.waiting[key], st.count = nil, st.count - 1
    count_call(st, w, nil)
  end
  if st.count >= MAX_WAITING then
    -- The oldest waiting request: the queue's first whose entry is still its own.
    while true do
      local q = st.queue[st.head]
      st.queue[st.head], st.head = nil, st.head + 1
      local old = st.waiting[q.key]
      if old and old.order == q.order then
        st.waiting[q.key], st.count = nil, st.count - 1
        count_call(st, old, nil)
        break
      end
    end
  end
  st.order = st.order + 1
  st.waiting[key] = { service = c.service, method = c.method, family = c.family, cut = c.cut,
                      order = st.order }
  st.count = st.count + 1
  st.tail = st.tail + 1
  st.queue[st.tail] = { key = key, order = st.order }
  -- Answered requests leave their places behind: the queue is made anew
  -- from the waiting ones before it holds twice as many, so that it stays of
  -- the order of the requests waiting.
  if st.tail - st.head + 1 > 2 * st.count + 1024 then
    local queue, tail = {}, 0
    for i = st.head, st.tail do
      local q = st.queue[i]
      local live = st.waiting[q.key]
      if live and live.order == q.order then
        tail = tail + 1
        queue[tail] = q
      end
    end
    st.queue, st.head, st.tail = queue, 1, tail
  end
end

-- Byte order, whatever the locale.
local function bytes_before(a, b)
  for i = 1, math.min(#a, #b) do
    local x, y = byte(a, i), byte(b, i)
    if x ~= y then return x < y end
  end
  return #a < #b
end

local function row_before(a, b)
  if a.rank ~= b.rank then return a.rank < b.rank end
  if a.service ~= b.service then return bytes_before(a.service, b.service) end
  if a.method ~= b.method then return bytes_before(a.method, b.method) end
  return a.family < b.family
end

local function title_of(row)
  return row.service == SERVICE and row.method or row.service .. "/" .. row.method
end

-- min, the percentiles by nearest rank, max of sorted durations; nil without any.
local function quantiles(sorted)
  local n = #sorted
  if n == 0 then return nil end
  local values = { sorted[1] }
  for _, p in ipairs(STATS.percentiles) do
    values[#values + 1] = sorted[math.floor((p * n + 99) / 100)]
  end
  values[#values + 1] = sorted[n]
  return values
end

local function cell(column, text) return fmt(" %" .. column[2] .. "s", text) end
local function left(text, width) return text .. string.rep(" ", width - #text) end

local function figures(row, values)
  local counts = { row.calls, row.ok, row.failed, row.refused, row.cut, row.unanswered }
  local line = {}
  for i, column in ipairs(STATS.counts) do line[#line + 1] = cell(column, fmt("%d", counts[i])) end
  for i, column in ipairs(STATS.durations) do
    line[#line + 1] = cell(column, values and fmt("%.1f", values[i] / 1e3) or "-")
  end
  return table.concat(line) .. "\n"
end

local function sorted_codes(failures)
  local codes = {}
  for code in pairs(failures) do codes[#codes + 1] = code end
  table.sort(codes)
  return codes
end

-- The table of what st counted so far, the requests still waiting taken as
-- unanswered (st itself unchanged: the GUI draws again as packets come).
local function stats_text(st)
  local rows, unanswered = {}, {}
  for _, w in pairs(st.waiting) do
    local row = row_of(st, w)
    unanswered[row] = unanswered[row] or { calls = 0, cut = 0 }
    unanswered[row].calls = unanswered[row].calls + 1
    if w.cut then unanswered[row].cut = unanswered[row].cut + 1 end
  end
  for _, row in pairs(st.rows) do
    if row.calls > 0 or unanswered[row] then rows[#rows + 1] = row end
  end
  table.sort(rows, row_before)
  local width = #STATS.method
  for _, row in ipairs(rows) do width = math.max(width, #title_of(row)) end
  local fw = STATS.family[2]
  local out = { STATS.title, "\n", left(STATS.method, width), " ", left(STATS.family[1], fw) }
  for _, column in ipairs(STATS.counts) do out[#out + 1] = cell(column, column[1]) end
  for _, column in ipairs(STATS.durations) do out[#out + 1] = cell(column, column[1]) end
  out[#out + 1] = "\n"
  local total = { calls = 0, ok = 0, failed = 0, refused = 0, cut = 0, unanswered = 0,
                  failures = {} }
  local all = {}
  for _, row in ipairs(rows) do
    local extra = unanswered[row] or { calls = 0, cut = 0 }
    local r = { calls = row.calls + extra.calls, ok = row.ok, failed = row.failed,
                refused = row.refused, cut = row.cut + extra.cut,
                unanswered = row.unanswered + extra.calls }
    table.sort(row.durations)
    out[#out + 1] = left(title_of(row), width) .. " " .. left(FAMILY_NAMES[row.family] or "family?", fw)
    out[#out + 1] = figures(r, quantiles(row.durations))
    for k, v in pairs(r) do total[k] = total[k] + v end
    for code, n in pairs(row.failures) do total.failures[code] = (total.failures[code] or 0) + n end
    for _, d in ipairs(row.durations) do all[#all + 1] = d end
  end
  table.sort(all)
  out[#out + 1] = left(STATS.total, width) .. " " .. left("", fw) .. figures(total, quantiles(all))
  out[#out + 1] = "\n" .. STATS.failures .. "\n"
  if next(total.failures) == nil then out[#out + 1] = "none\n" end
  local sw = STATS.status[2]
  for _, row in ipairs(rows) do
    for _, code in ipairs(sorted_codes(row.failures)) do
      out[#out + 1] = left(title_of(row), width) .. " " .. left(FAMILY_NAMES[row.family] or "family?", fw) ..
                      " " .. left(status_text(code), sw) ..
                      cell(STATS.counts[1], fmt("%d", row.failures[code])) .. "\n"
    end
  end
  for _, code in ipairs(sorted_codes(total.failures)) do
    out[#out + 1] = left(STATS.total, width) .. " " .. left("", fw) .. " " ..
                    left(status_text(code), sw) ..
                    cell(STATS.counts[1], fmt("%d", total.failures[code])) .. "\n"
  end
  local lost = 0
  for _, count in pairs(drops) do lost = lost + count end
  out[#out + 1] = fmt("\n%s: %d\n", STATS.lost, lost)
  return table.concat(out)
end

-- A listener counting the calls of the packets that pass filter (nil: all).
local function stats_listener(filter, draw)
  local st = new_stats()
  local tap = Listener.new(nil, filter)
  function tap.packet(pinfo)
    if CALL.frame == pinfo.number then add_call_packet(st, CALL) end
  end
  function tap.draw() draw(stats_text(st)) end
  function tap.reset() st = new_stats() end
  return tap
end

-- A -z argument it cannot take ends the run as tshark ends it for its own.
register_stat_cmd_arg("pss,srt", function(arg)
  local filter = arg:match("^pss,srt,(.+)$")
  local function refuse(why)
    io.stderr:write("tshark: -z " .. arg .. ": " .. why .. "\n")
    os.exit(1)
  end
  if arg ~= "pss,srt" and not filter then refuse("the statistics are -z pss,srt[,FILTER]") end
  local ok, problem = pcall(stats_listener, filter, function(text) io.write(text) end)
  if not ok then refuse("the filter is refused: " .. tostring(problem)) end
end)

if gui_enabled() then
  register_menu("PatchSdkService", function()
    local win = TextWindow.new("PatchSdkService calls")
    local tap = stats_listener(nil, function(text) win:set(text) end)
    win:set_atclose(function() tap:remove() end)
    retap_packets()
  end, MENU_STAT_RESPONSE_TIME)
end
