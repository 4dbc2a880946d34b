-- ---- the runtime: the same for every service definition ----------------------
-- It walks an image over RECORDS making korvo's checks in korvo's order, so a
-- refused image is marked at the byte and with the reason that `korvo check`
-- gives. Every read is bounded by the image's length before it is made, and the
-- walk runs under pcall: no packet makes the plugin raise a Lua error.

local pss = Proto("pss", "PatchSdkService call")

local BY_NAME = {}
for _, rec in ipairs(RECORDS) do BY_NAME[rec.name] = rec end

local FIELDS = {}
local function field(f)
  FIELDS[#FIELDS + 1] = f
  return f
end

-- ---- fields ----------------------------------------------------------------
-- The call header's facts: pss.<fact>.
local CALL_FIELDS = {
  call = field(ProtoField.uint64("pss.call", "Call number")),
  method = field(ProtoField.string("pss.method", "Method")),
  method_index = field(ProtoField.uint16("pss.method_index", "Method index")),
  family = field(ProtoField.string("pss.family", "Family")),
  direction = field(ProtoField.string("pss.direction", "Direction")),
  layout = field(ProtoField.string("pss.layout", "Layout")),
  value = field(ProtoField.uint32("pss.value", "uiValue")),
  status = field(ProtoField.uint32("pss.status", "uiStatus", base.HEX)),
  verdict = field(ProtoField.string("pss.verdict", "Decoder verdict")),
  thread = field(ProtoField.uint64("pss.thread", "Thread")),
  kept = field(ProtoField.uint32("pss.kept", "Image bytes kept")),
  length = field(ProtoField.uint32("pss.length", "Image length")),
  record = field(ProtoField.string("pss.record", "Record")),
  image = field(ProtoField.bytes("pss.image", "Image")),
  header = field(ProtoField.bytes("pss.header", "Call header")),
  answer_in = field(ProtoField.framenum("pss.answer_in", "Answer in", base.NONE, frametype.RESPONSE)),
  request_in = field(ProtoField.framenum("pss.request_in", "Request in", base.NONE, frametype.REQUEST)),
  duration = field(ProtoField.relative_time("pss.duration", "Call duration")),
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
      m.value = field(ProtoField.uint32(abbr, slot.name, base.DEC, nil, nil, "uoffset"))
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

pss.fields = FIELDS
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
  local value = slot.kind == "u64" and UInt64(0) or slot.kind == "bytes" and "" or 0
  local item = range and tree:add(m.value, range, value) or tree:add(m.value, value)
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

  local walk_table

  local function walk_bytes(tree, m, slot, at, vec, path)
    local function uoffset(parent)
      return parent:add_le(K.uoffset, tvb(at, 4)):set_text(
        fmt("%s: uoffset to its byte vector at %d", path, vec))
    end
    if not holds(vec, 4) then
      uoffset(tree)
      refuse(at, fmt("%s: its byte vector at %d lies past the buffer end (%d)", path, vec, len))
    end
    local count = u32(vec)
    local function counted(parent)
      uoffset(parent)
      parent:add_le(K.count, tvb(vec, 4)):set_text(fmt("%s: count %d", path, count))
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
    local range = tvb(vec + 4, slot.len)
    local text = text_of(range:raw())
    counted(text and tree:add(m.value, range, text) or tree:add(m.bytes, range))
  end

  local function walk_vector(tree, m, slot, at, vec, path, root)
    if not holds(vec, 4) then
      refuse(at, fmt("%s: its vector at %d lies past the buffer end (%d)", path, vec, len))
    end
    local count = u32(vec)
    tree:add_le(m.count, tvb(vec, 4))
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
      local item = tree:add_le(K.element, tvb(pos, 4), k):set_text(
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
      tree:add_le(m.value, tvb(at, width))
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
        tree:add_le(K.uoffset, tvb(at, 4))
        over()
      end
      walk_bytes(tree, m, slot, at, target, path)
      return
    end
    local what = slot.kind == "table" and "table" or "vector"
    local item = tree:add_le(m.value, tvb(at, 4)):set_text(
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
    local t = tree:add(K.table, tvb(pos, 4)):set_text(
      fmt("%s table %s: soffset %s%d, vtable at %d", label, rec.name, signed > 0 and "+" or "",
          signed, vt))
    t:add_le(K.soffset, tvb(pos, 4))
    if vt < 4 or not holds(vt, 4) then
      refuse(pos, fmt("%s: soffset %d puts its vtable at %d, out of range: a vtable starts at 4 to %d",
                      label, signed, vt, len - 4))
    end
    local vtlen = u16(vt)
    local v = t:add(K.vtable, tvb(vt, 4)):set_text(
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
      v:add_le(K.entry, tvb(vt + 4 + 2 * i, 2)):set_text(e == 0
        and fmt("slot %d %s: absent", i, name) or fmt("slot %d %s: at +%d", i, name, e))
    end
    -- Entries past the record's slots (a newer writer's) and an odd last
    -- byte are not read; one item covers them all.
    local known = vt + 4 + 2 * math.min(entries, #rec.slots)
    if vtlen > 4 and vt + vtlen > known then
      v:add(K.unread, tvb(known, vt + vtlen - known)):set_text(
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
  tree:add_le(K.root, tvb(0, 4)):set_text(fmt("root uoffset: root table at %d", root))
  walk_table(tree, rec, root, 0, "", "root", true)
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
    image:add_proto_expert_info(E.fault, fault)
    return nil, "dissector fault"
  end
  if not refusal then
    if elements > 0 or rec.kind == "response" then
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
