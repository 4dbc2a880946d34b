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
local TWO32 = 4294967296
local MAX_VECTOR = 1073741824       -- 2^30 elements
local MAX_ARRAY = 2147483647        -- bytes of one element array
local WIDTH = { u8 = 1, u32 = 4, u64 = 8 }
local fmt = string.format

local REFUSAL = {}
local function refuse(pos, reason)
  error(setmetatable({ pos = pos, reason = reason }, REFUSAL), 0)
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
      refuse(at, fmt("%s: its byte vector at %d lies past the buffer end (%d)", path, vec, len))
    end
    local count = u32(vec)
    local function counted(parent)
      uoffset(parent)
      parent:add_le(K.count, shown(vec, 4)):set_text(fmt("%s: count %d", path, count))
    end
    if count ~= slot.len then
      counted(tree)
      refuse(vec, fmt("%s: count %d is not the array's length %d", path, count, slot.len))
    end
    if not holds(vec + 4, slot.len) then
      counted(tree)
      refuse(vec, fmt("%s: its %d bytes at %d run past the buffer end (%d)", path, slot.len,
                      vec + 4, len))
    end
    local range = shown(vec + 4, slot.len)
    local text = text_of(range:raw())
    counted(text and tree:add(m.value, range, text) or tree:add(m.bytes, range))
  end

  local function walk_vector(tree, m, slot, at, vec, path, root)
    if not holds(vec, 4) then
      refuse(at, fmt("%s: its vector at %d lies past the buffer end (%d)", path, vec, len))
    end
    local count = u32(vec)
    tree:add_le(m.count, shown(vec, 4))
    if count >= MAX_VECTOR then refuse(vec, fmt("%s: count %d is 2^30 or more", path, count)) end
    if not holds(vec + 4, 4 * count) then
      refuse(vec, fmt("%s: its %d element uoffsets run past the buffer end (%d)", path, count, len))
    end
    local sub = BY_NAME[slot.sub]
    local bytes = count * sub.size
    if bytes > MAX_ARRAY then
      refuse(vec, fmt("%s: %d elements of %d bytes make an array of %d bytes, 2^31 or more: " ..
                      "refused before allocating", path, count, sub.size, bytes))
    end
    local limit = 2 * len + 65536
    if bytes > limit then
      refuse(vec, fmt("%s: %d elements of %d bytes make an array of %d bytes, more than korvo " ..
                      "lets a buffer of %d bytes allocate (%d): its element offsets share tables",
                      path, count, sub.size, bytes, len, limit))
    end
    if root then elements = elements + count end
    for k = 0, count - 1 do
      local pos = vec + 4 + 4 * k
      local target = pos + u32(pos)
      local name = fmt("%s[%d]", path, k)
      local item = tree:add_le(K.element, shown(pos, 4), k):set_text(
        fmt("%s: uoffset to its table at %d", name, target))
      if target >= TWO32 then refuse(pos, fmt("%s: uoffset %d leads past 2^32", name, u32(pos))) end
      walk_table(item, sub, target, pos, name, name, false)
    end
  end

  local function walk_slot(tree, rec, i, at, entry, path, root)
    local slot, m = rec.slots[i], MEMBER[rec.name][i]
    local width = WIDTH[slot.kind]
    if width then
      if not holds(at, width) then
        refuse(entry, fmt("%s: its %d-byte value at %d runs past the buffer end (%d)", path, width,
                          at, len))
      end
      tree:add_le(m.value, shown(at, width))
      return
    end
    if not holds(at, 4) then
      refuse(entry, fmt("%s: its uoffset at %d runs past the buffer end (%d)", path, at, len))
    end
    local target = at + u32(at)
    local function over()
      if target >= TWO32 then refuse(at, fmt("%s: uoffset %d leads past 2^32", path, u32(at))) end
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
      if len < 8 then
        refuse(referrer, fmt("%s table at %d: no table fits in a buffer of %d bytes", label, pos,
                             len))
      end
      refuse(referrer, fmt("%s table at %d is out of range: a table starts at 4 to %d", label, pos,
                           len - 4))
    end
    local soffset = u32(pos)
    local vt = (pos - soffset) % TWO32
    local signed = soffset >= 2147483648 and soffset - TWO32 or soffset
    local t = tree:add(K.table, shown(pos, 4)):set_text(
      fmt("%s table %s: soffset %s%d, vtable at %d", label, rec.name, signed > 0 and "+" or "",
          signed, vt))
    t:add_le(K.soffset, tvb(pos, 4))
    if vt < 4 or not holds(vt, 4) then
      refuse(pos, fmt("%s: soffset %d puts its vtable at %d, out of range: a vtable starts at 4 to %d",
                      label, signed, vt, len - 4))
    end
    local vtlen = u16(vt)
    local v = t:add(K.vtable, shown(vt, 4)):set_text(
      fmt("%s vtable: length %d, table size %d", label, vtlen, u16(vt + 2)))
    v:add_le(K.vtable_length, tvb(vt, 2))
    v:add_le(K.table_size, tvb(vt + 2, 2))
    if not holds(vt, vtlen) then
      refuse(vt, fmt("%s vtable: length %d runs past the buffer end (at most %d)", label, vtlen,
                     len - vt))
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
    refuse(0, fmt("a buffer of %d bytes is shorter than its 4-byte root uoffset", len))
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
-- Little-endian, the image after it at H: version, H, direction, family, call
-- number, layout, verdict, flags, result words, thread, image lengths, drops,
-- duration, then the service's and the method's names.
local HEADER_FIXED = 46
local DIRECTIONS = { [1] = "request", [2] = "answer" }
local FAMILIES = { [1] = "synchronous", [2] = "asynchronous", [3] = "one-way" }
local LAYOUTS = { [0] = "none", [1] = "compact", [2] = "fixed", [3] = "answer" }
local VERDICTS = { [0] = "not decoded", [1] = "accepted", [2] = "refused" }
local FLAG_RESULT, FLAG_CUT = 1, 2
-- Plain arithmetic: bit libraries differ between Lua versions.
local function has(flags, flag) return math.floor(flags / flag) % 2 == 1 end

local H = {
  version = field(ProtoField.uint8("pss.version", "Header version")),
  header_length = field(ProtoField.uint8("pss.header_length", "Header length")),
  direction = field(ProtoField.uint8("pss.direction", "Direction", base.DEC, DIRECTIONS)),
  family = field(ProtoField.uint8("pss.family", "Family", base.DEC, FAMILIES)),
  call = field(ProtoField.uint32("pss.call", "Call number")),
  layout = field(ProtoField.uint8("pss.layout", "Layout", base.DEC, LAYOUTS)),
  verdict = field(ProtoField.uint8("pss.verdict", "Decoder verdict", base.DEC, VERDICTS)),
  flags = field(ProtoField.uint8("pss.flags", "Flags", base.HEX)),
  flag_result = field(ProtoField.bool("pss.flags.result", "Result words set", 8, nil, FLAG_RESULT)),
  flag_cut = field(ProtoField.bool("pss.flags.cut", "Image cut to the cap", 8, nil, FLAG_CUT)),
  value = field(ProtoField.uint32("pss.value", "uiValue")),
  status = field(ProtoField.uint32("pss.status", "uiStatus", base.HEX)),
  thread = field(ProtoField.uint32("pss.thread", "Thread")),
  original = field(ProtoField.uint32("pss.original_length", "Image length")),
  kept = field(ProtoField.uint32("pss.kept_length", "Image bytes kept")),
  drops = field(ProtoField.uint32("pss.drops", "Packets lost before this one")),
  duration = field(ProtoField.relative_time("pss.duration", "Call duration")),
  service = field(ProtoField.string("pss.service", "Service")),
  method = field(ProtoField.string("pss.method", "Method")),
  answer_in = field(ProtoField.framenum("pss.answer_in", "Answer in", base.NONE, frametype.RESPONSE)),
  request_in = field(ProtoField.framenum("pss.request_in", "Request in", base.NONE,
                                         frametype.REQUEST)),
}
pss.fields = FIELDS

local METHOD_BY_NAME = {}
for _, m in ipairs(METHODS) do METHOD_BY_NAME[m[1]] = { request = m[2], response = m[3] } end

-- Request and answer of a call by call number, filled on the first pass.
local calls = {}
function pss.init() calls = {} end

local function nstime(ns)
  return NSTime(math.floor(ns / 1e9), ns % 1e9)
end

local function dissect_call(tvb, pinfo, tree)
  local len = tvb:len()
  if len < HEADER_FIXED then
    tree:add_proto_expert_info(E.header, fmt("%d bytes: shorter than a call header (%d)", len,
                                             HEADER_FIXED))
    return "malformed call header"
  end
  local version, hlen = tvb(0, 1):uint(), tvb(1, 1):uint()
  local header = tree:add(CALL_FIELDS.header, tvb(0, math.min(hlen, len))):set_text("Call header")
  header:add(H.version, tvb(0, 1))
  header:add(H.header_length, tvb(1, 1))
  if version ~= 1 then
    header:add_proto_expert_info(E.header, fmt("header version %d: only version 1 is known",
                                               version))
    return "unknown header version " .. version
  end
  local s, m = tvb(44, 1):uint(), tvb(45, 1):uint()
  if hlen < HEADER_FIXED + s + m or hlen > len then
    header:add_proto_expert_info(E.header, fmt(
      "header length %d: at least %d (its names) and at most the packet's %d bytes", hlen,
      HEADER_FIXED + s + m, len))
    return "malformed call header"
  end
  local direction, family = tvb(2, 1):uint(), tvb(3, 1):uint()
  local call = tvb(4, 4):le_uint()
  local layout, verdict, flags = tvb(8, 1):uint(), tvb(9, 1):uint(), tvb(10, 1):uint()
  local status = tvb(16, 4):le_uint()
  local original = tvb(24, 4):le_uint()
  local duration = tvb(36, 8):le_uint64()
  local service = tvb(46, s):string()
  local method = tvb(46 + s, m):string()
  header:add(H.direction, tvb(2, 1))
  header:add(H.family, tvb(3, 1))
  header:add_le(H.call, tvb(4, 4))
  header:add(H.layout, tvb(8, 1))
  header:add(H.verdict, tvb(9, 1))
  local f = header:add(H.flags, tvb(10, 1))
  f:add(H.flag_result, tvb(10, 1))
  f:add(H.flag_cut, tvb(10, 1))
  if has(flags, FLAG_RESULT) then
    header:add_le(H.value, tvb(12, 4))
    local st = header:add_le(H.status, tvb(16, 4))
    if status ~= 0 then st:add_proto_expert_info(E.status, fmt("uiStatus 0x%x", status)) end
  end
  header:add_le(H.thread, tvb(20, 4))
  header:add_le(H.original, tvb(24, 4))
  header:add_le(H.kept, tvb(28, 4))
  header:add_le(H.drops, tvb(32, 4))
  if direction == 2 then
    header:add_le(H.duration, tvb(36, 8), nstime(duration:tonumber()))
  end
  header:add(H.service, tvb(46, s))
  header:add(H.method, tvb(46 + s, m))

  -- Request and answer, linked both ways.
  local key = tostring(call)
  if not pinfo.visited then
    local c = calls[key] or {}
    calls[key] = c
    if direction == 1 then c.request = pinfo.number else c.answer = pinfo.number end
    if direction == 2 then c.duration = duration:tonumber() end
  end
  local c = calls[key]
  if c and direction == 1 and c.answer then
    tree:add(H.answer_in, c.answer):set_generated()
    if c.duration then tree:add(H.duration, nstime(c.duration)):set_generated() end
  elseif c and direction == 2 and c.request then
    tree:add(H.request_in, c.request):set_generated()
  end

  local op = method:gsub("^QOMA_PAT_", "")
  local info = fmt("Call %d: %s %s", call, op, DIRECTIONS[direction] or "?")
  if direction == 1 and family ~= 1 then info = info .. ", " .. (FAMILIES[family] or "?") end
  if has(flags, FLAG_RESULT) then
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
  if has(flags, FLAG_CUT) and original < image:len() then original = image:len() end
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
