-- ---- the runtime: the same for every service definition ----------------------
-- It walks an image over RECORDS making korvo's checks in korvo's order, so a
-- refused image is marked at the byte and with the reason that `korvo check`
-- gives. Every read is bounded by the image's length before it is made, and the
-- walk runs under pcall: no packet makes the plugin raise a Lua error.

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
  root = field(ProtoField.uint32("pss.korvo.root", "Root uoffset")),
  table = field(ProtoField.none("pss.korvo.table", "Table")),
  soffset = field(ProtoField.int32("pss.korvo.soffset", "soffset to its vtable")),
  vtable = field(ProtoField.none("pss.korvo.vtable", "vtable")),
  vtable_length = field(ProtoField.uint16("pss.korvo.vtable_length", "vtable length")),
  table_size = field(ProtoField.uint16("pss.korvo.table_size", "Table size")),
  entry = field(ProtoField.uint16("pss.korvo.entry", "vtable entry")),
  unread = field(ProtoField.bytes("pss.korvo.unread", "Not read")),
  unreferenced = field(ProtoField.bytes("pss.korvo.unreferenced", "Unreferenced")),
  uoffset = field(ProtoField.uint32("pss.korvo.uoffset", "uoffset")),
  count = field(ProtoField.uint32("pss.korvo.count", "Count")),
  element = field(ProtoField.uint32("pss.korvo.element", "Element")),
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
      m.value = field(ProtoField.uint8(abbr, slot.name))
    elseif slot.kind == "u32" then
      m.value = field(ProtoField.uint32(abbr, slot.name))
    elseif slot.kind == "u64" then
      m.value = field(ProtoField.uint64(abbr, slot.name))
    elseif slot.kind == "bytes" then
      m.value = field(ProtoField.string(abbr, slot.name))
      m.bytes = field(ProtoField.bytes(abbr .. ".bytes", slot.name))
    else
      -- A nested table or a vector: the item of its uoffset, its members below.
      m.value = field(ProtoField.none(abbr, slot.name))
      if slot.kind == "vector" then
        m.count = field(ProtoField.uint32("pss." .. rec.name .. "." .. slot.count, slot.count))
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
}

pss.experts = { E.refused, E.cut, E.status, E.header, E.fault }

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
local fmt = string.format

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

-- Walks the image in tvb as record rec under tree. Returns the number of
-- elements of the root's vectors; raises a REFUSAL where korvo refuses.
local function walk(tvb, tree, rec)
  local len = tvb:len()
  local elements = 0
  local function holds(pos, width) return pos + width <= len end
  local function u16(pos) return tvb(pos, 2):le_uint() end
  local function u32(pos) return tvb(pos, 4):le_uint() end
  -- The bytes an item shows; what none shows is listed as unreferenced.
  local regions = {}
  local function shown(pos, n)
    regions[#regions + 1] = { pos, n }
    return tvb(pos, n)
  end

  local walk_table

  local function walk_bytes(tree, m, slot, at, vec, path)
    local function uoffset(parent)
      return parent:add_le(K.uoffset, shown(at, 4)):set_text(
        fmt("%s: uoffset to its byte vector at %d", path, vec))
    end
    if not holds(vec, 4) then
      uoffset(tree)
      refuse(at, say("vector_past_end", { path = path, what = "byte vector", pos = vec, len = len }))
    end
    local count = u32(vec)
    local function counted(parent)
      uoffset(parent)
      parent:add_le(K.count, shown(vec, 4)):set_text(fmt("%s: count %d", path, count))
    end
    if count ~= slot.len then
      counted(tree)
      refuse(vec, say("array_length", { path = path, n = count, width = slot.len }))
    end
    if not holds(vec + 4, slot.len) then
      counted(tree)
      refuse(vec, say("array_past_end", { path = path, width = slot.len, pos = vec + 4, len = len }))
    end
    local range = shown(vec + 4, slot.len)
    local text = text_of(range:raw())
    counted(text and tree:add(m.value, range, text) or tree:add(m.bytes, range))
  end

  local function walk_vector(tree, m, slot, at, vec, path, root)
    if not holds(vec, 4) then
      refuse(at, say("vector_past_end", { path = path, what = "vector", pos = vec, len = len }))
    end
    local count = u32(vec)
    tree:add_le(m.count, shown(vec, 4))
    if count >= MAX_VECTOR then refuse(vec, say("count_too_large", { path = path, n = count })) end
    if not holds(vec + 4, 4 * count) then
      refuse(vec, say("offsets_past_end", { path = path, n = count, len = len }))
    end
    local sub = BY_NAME[slot.sub]
    local bytes = count * sub.size
    local array = { path = path, n = count, width = sub.size, bytes = bytes, len = len,
                    limit = ELEMENT_ARRAY.factor * len + ELEMENT_ARRAY.slack }
    if bytes > MAX_ARRAY then refuse(vec, say("array_too_large", array)) end
    if bytes > array.limit then refuse(vec, say("array_over_limit", array)) end
    if root then elements = elements + count end
    for k = 0, count - 1 do
      local pos = vec + 4 + 4 * k
      local target = pos + u32(pos)
      local name = fmt("%s[%d]", path, k)
      local item = tree:add_le(K.element, shown(pos, 4), k):set_text(
        fmt("%s: uoffset to its table at %d", name, target))
      if target >= TWO32 then refuse(pos, say("offset_past_4g", { path = name, n = u32(pos) })) end
      walk_table(item, sub, target, pos, name, name, false)
    end
  end

  local function walk_slot(tree, rec, i, at, entry, path, root)
    local slot, m = rec.slots[i], MEMBER[rec.name][i]
    local width = WIDTH[slot.kind]
    if width then
      if not holds(at, width) then
        refuse(entry, say("value_past_end", { path = path, width = width, pos = at, len = len }))
      end
      tree:add_le(m.value, shown(at, width))
      return
    end
    if not holds(at, 4) then
      refuse(entry, say("offset_past_end", { path = path, pos = at, len = len }))
    end
    local target = at + u32(at)
    local function over()
      if target >= TWO32 then refuse(at, say("offset_past_4g", { path = path, n = u32(at) })) end
    end
    if slot.kind == "bytes" then
      if target >= TWO32 then
        tree:add_le(K.uoffset, shown(at, 4))
        over()
      end
      walk_bytes(tree, m, slot, at, target, path)
      return
    end
    local what = slot.kind == "table" and "table" or "vector"
    local item = tree:add(m.value, shown(at, 4)):set_text(
      fmt("%s: uoffset to its %s at %d", path, what, target))
    over()
    if slot.kind == "table" then
      walk_table(item, BY_NAME[slot.sub], target, at, path, path, false)
    else
      walk_vector(item, m, slot, at, target, path, root)
    end
  end

  -- A table: its soffset, its vtable with one entry per slot, its members.
  walk_table = function(tree, rec, pos, referrer, path, label, root)
    if pos < 4 or not holds(pos, 4) then
      if len < 8 then refuse(referrer, say("no_table", { label = label, pos = pos, len = len })) end
      refuse(referrer, say("table_position", { label = label, pos = pos, last = len - 4 }))
    end
    local soffset = u32(pos)
    local vt = (pos - soffset) % TWO32
    local signed = soffset >= 2147483648 and soffset - TWO32 or soffset
    local t = tree:add(K.table, shown(pos, 4)):set_text(
      fmt("%s table %s: soffset %s%d, vtable at %d", label, rec.name, signed > 0 and "+" or "",
          signed, vt))
    t:add_le(K.soffset, tvb(pos, 4))
    if vt < 4 or not holds(vt, 4) then
      refuse(pos, say("vtable_position", { label = label, soffset = signed, pos = vt, last = len - 4 }))
    end
    local vtlen = u16(vt)
    local v = t:add(K.vtable, shown(vt, 4)):set_text(
      fmt("%s vtable: length %d, table size %d", label, vtlen, u16(vt + 2)))
    v:add_le(K.vtable_length, tvb(vt, 2))
    v:add_le(K.table_size, tvb(vt + 2, 2))
    if not holds(vt, vtlen) then
      refuse(vt, say("vtable_length", { label = label, n = vtlen, room = len - vt }))
    end
    local entries = vtlen >= 4 and math.floor((vtlen - 4) / 2) or 0
    for i = 0, math.min(entries, #rec.slots) - 1 do
      local e = u16(vt + 4 + 2 * i)
      local name = rec.slots[i + 1].name
      v:add_le(K.entry, shown(vt + 4 + 2 * i, 2)):set_text(e == 0
        and fmt("slot %d %s: absent", i, name) or fmt("slot %d %s: at +%d", i, name, e))
    end
    -- Entries past the record's slots (a newer writer's) and an odd last
    -- byte are not read; one item covers them all.
    local known = vt + 4 + 2 * math.min(entries, #rec.slots)
    if vtlen > 4 and vt + vtlen > known then
      v:add(K.unread, shown(known, vt + vtlen - known)):set_text(
        fmt("slots %d and on (not in the record) and padding: %d bytes, not read",
            #rec.slots, vt + vtlen - known))
    end
    for i = 1, #rec.slots do
      local entry = vt + 4 + 2 * (i - 1)
      local e = i <= entries and u16(entry) or 0
      if e == 0 then
        add_absent(t, rec, i, i <= entries and tvb(entry, 2) or nil)
      else
        walk_slot(t, rec, i, pos + e, entry, join(path, rec.slots[i].name), root)
      end
    end
  end

  if len < 4 then
    refuse(0, say("short", { len = len }))
  end
  local root = u32(0)
  tree:add_le(K.root, shown(0, 4)):set_text(fmt("root uoffset: root table at %d", root))
  walk_table(tree, rec, root, 0, "", "root", true)
  table.sort(regions, function(a, b) return a[1] < b[1] end)
  local covered = 0
  local function unreferenced(to)
    if to > covered then
      tree:add(K.unreferenced, tvb(covered, to - covered)):set_text(
        fmt("unreferenced (%d bytes): padding or unused", to - covered))
    end
  end
  for _, r in ipairs(regions) do
    unreferenced(r[1])
    covered = math.max(covered, r[1] + r[2])
  end
  unreferenced(len)
  return elements
end

-- Walks the image under tree. Returns the element count, or nil and the
-- refusal (pos, reason), or nil and a fault text when the walk itself failed.
local function walk_image(tvb, tree, rec)
  local ok, result = pcall(walk, tvb, tree, rec)
  if ok then return result end
  if getmetatable(result) == REFUSAL then return nil, result end
  return nil, nil, tostring(result)
end

-- ---- the image ----------------------------------------------------------------
-- Shows the image of record name under tree and marks a refusal where korvo
-- makes it. Returns the element count (nil when refused) and the verdict's
-- text for the Info column.
local function dissect_image(tvb, tree, name, original)
  local rec = BY_NAME[name]
  local image = tree:add(CALL_FIELDS.image, tvb()):set_text(
    fmt("%s, %d bytes", name, tvb:len()))
  local elements, refusal, fault = walk_image(tvb, image, rec)
  if fault then
    image:add_proto_expert_info(E.fault, "dissector fault: " .. fault)
    return nil, "dissector fault"
  end
  if not refusal then
    if rec.vector then
      tree:add(CALL_FIELDS.elements, elements):set_generated()
    end
    return elements
  end
  local at = refusal.pos < tvb:len() and tvb(refusal.pos, 1) or tvb()
  local text = fmt("%s refused at byte %d: %s", name, refusal.pos, refusal.reason)
  if original > tvb:len() then
    -- The walk ran into the end of what the trace kept, not into damage.
    image:add_tvb_expert_info(E.cut, at, fmt("only %d of %d bytes kept; %s", tvb:len(), original,
                                             text))
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
-- the status in hex, the duration as a time, any other as a number.
-- Plain arithmetic: bit libraries differ between Lua versions.
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
  elseif name == "status" or name == "flags" then
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

local METHOD_BY_NAME = {}
for _, m in ipairs(METHODS) do METHOD_BY_NAME[m[1]] = { request = m[2], response = m[3] } end

-- Requests and answers paired as every reader of traces pairs them: one
-- process's call number, the answer after the request and of the same
-- method; a request whose number comes again unanswered is left so. Filled on
-- the first pass: waiting requests by process and call, and each paired
-- frame's partner.
local waiting, links = {}, {}
function pss.init() waiting, links = {}, {} end

local function nstime(ns)
  return NSTime(math.floor(ns / 1e9), ns % 1e9)
end

local function pair(pinfo, direction, process, call, service, method, duration)
  local key = process .. "/" .. call
  if direction == 1 then
    waiting[key] = { frame = pinfo.number, service = service, method = method }
    return
  end
  local w = waiting[key]
  if w and w.service == service and w.method == method then
    links[w.frame] = { answer = pinfo.number, duration = duration }
    links[pinfo.number] = { request = w.frame }
    waiting[key] = nil
  end
end

local function dissect_call(tvb, pinfo, tree)
  local len = tvb:len()
  local version = len > 0 and tvb(0, 1):uint() or 0
  if not NAMES_AT[version] then
    if len == 0 then
      tree:add_proto_expert_info(E.header, "0 bytes: no call header")
      return "malformed call header"
    end
    tree:add(H.version, tvb(0, 1)):add_proto_expert_info(E.header, fmt(
      "header version %d: the versions known are %s", version, table.concat(KNOWN_VERSIONS, " and ")))
    return "unknown header version " .. version
  end
  local fields = {}
  for _, f in ipairs(HEADER_FIELDS) do
    if in_version(f, version) then fields[f[1]] = f end
  end
  local names_at = NAMES_AT[version]
  if len < names_at then
    tree:add_proto_expert_info(E.header, fmt("%d bytes: shorter than a version %d call header (%d)",
                                             len, version, names_at))
    return "malformed call header"
  end
  local function range(name) local f = fields[name]; return tvb(f[2], f[3]) end
  local function get(name)
    local f = fields[name]
    if f[3] == 8 then return tvb(f[2], 8):le_uint64():tonumber() end
    return tvb(f[2], f[3]):le_uint()
  end
  local hlen = get("header_length")
  local s, m = get("service_length"), get("method_length")
  local header = tree:add(CALL_FIELDS.header, tvb(0, math.min(hlen, len))):set_text("Call header")
  if hlen < names_at + s + m or hlen > len then
    header:add(H.header_length, range("header_length"), hlen)
    header:add_proto_expert_info(E.header, fmt(
      "header length %d: at least %d (its names) and at most the packet's %d bytes", hlen,
      names_at + s + m, len))
    return "malformed call header"
  end
  local direction, flags, status = get("direction"), get("flags"), get("status")
  local duration = get("duration")
  local call = get("call")
  local process = fields.process and get("process") or 0
  local service = tvb(names_at, s):string()
  local method = tvb(names_at + s, m):string()
  for _, f in ipairs(HEADER_FIELDS) do
    local name = f[1]
    local shown = fields[name] == f
    if (name == "value" or name == "status") and not has(flags, FLAG.result) then shown = false end
    if name == "duration" and direction ~= 2 then shown = false end
    if shown then
      local item
      if name == "duration" then
        item = header:add(H.duration, range(name), nstime(duration))
      elseif f[3] == 8 then
        item = header:add(H[name], range(name), UInt64(get(name)))
      else
        item = header:add(H[name], range(name), get(name))
      end
      if name == "flags" then
        for _, flag_field in ipairs(FLAG_FIELDS) do item:add(flag_field, range(name)) end
      elseif name == "status" and status ~= 0 then
        item:add_proto_expert_info(E.status, fmt("uiStatus 0x%x", status))
      end
    end
  end
  header:add(H.service, tvb(names_at, s))
  header:add(H.method, tvb(names_at + s, m))

  -- Request and answer, linked both ways.
  if not pinfo.visited then pair(pinfo, direction, process, call, service, method, duration) end
  local link = links[pinfo.number]
  if link and link.answer then
    tree:add(H.answer_in, link.answer):set_generated()
    tree:add(H.duration, nstime(link.duration)):set_generated()
  elseif link and link.request then
    tree:add(H.request_in, link.request):set_generated()
  end

  local layout, verdict = get("layout"), get("verdict")
  local family, original = get("family"), get("original_length")
  local op = method:gsub("^QOMA_PAT_", "")
  local info = fmt("Call %d: %s %s", call, op, DIRECTIONS[direction] or "?")
  if direction == 1 and family ~= 1 then info = info .. ", " .. (FAMILIES[family] or "?") end
  if has(flags, FLAG.result) then
    info = info .. (status == 0 and ", ok" or fmt(", status 0x%x", status))
  end

  -- The image, as the record that the method and direction name.
  if len == hlen then
    if layout == 0 then info = info .. ", no image" end
    return info
  end
  local names = METHOD_BY_NAME[method]
  local record = names and (direction == 1 and names.request or direction == 2 and names.response)
  local image = tvb(hlen):tvb()
  if service ~= SERVICE or not record then
    tree:add(CALL_FIELDS.image, tvb(hlen)):set_text(fmt("Image, %d bytes: no record of %s.%s",
                                                       image:len(), service, method))
    return info
  end
  if has(flags, FLAG.cut) and original < image:len() then original = image:len() end
  tree:add(CALL_FIELDS.record, record):set_generated()
  local elements, outcome = dissect_image(image, tree, record, math.max(original, image:len()))
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
  local ok, info = pcall(dissect_call, tvb, pinfo, root)
  if not ok then
    root:add_proto_expert_info(E.fault, "dissector fault: " .. tostring(info))
    info = "dissector fault"
  end
  pinfo.cols.info:set(info)
  return tvb:len()
end

-- Traces are written with link type LINKTYPE_USER0: they open without "Decode As".
DissectorTable.get("wtap_encap"):add(wtap_encaps.USER0, pss)
