-- What pandoc's man writer needs beyond the markdown of a page:
--   * a Div with an `include` attribute takes the place of that document of
--     docs/ (a path relative to the page's source). The document's title, its
--     first level-1 heading, is dropped: the page heads the section it goes
--     in. `shift="-1"` moves the document's headings up one level, so that
--     its sections become the page's.
--   * a link to a document of docs/ names the manual page that carries it
--     (metadata pss-doc-pages, written by the build from the pages' includes);
--     a link to a document no page carries is an error, not a dead reference.
--   * level-1 headings, the page's sections, are written in upper case;
--   * tables take four fifths of the width pandoc gives them (70 columns), so
--     that they fit an 80-column terminal beside the section's indent, shared
--     out by the length of what the columns hold (below).

local pages = {}
local this_page = ''

local function read_meta(meta)
  for doc, page in pairs(meta['pss-doc-pages'] or {}) do
    pages[doc] = pandoc.utils.stringify(page)
  end
  this_page = pandoc.utils.stringify(meta['pss-page'] or '')
end

local function dirname(path)
  return path:match('^(.*)/[^/]*$') or '.'
end

local function include(div)
  local path = div.attributes.include
  if not path then return nil end
  local file = dirname(PANDOC_STATE.input_files[1]) .. '/' .. path
  local handle = io.open(file, 'r')
  if not handle then error('manpage.lua: cannot read ' .. file) end
  local text = handle:read('a')
  handle:close()
  local shift = tonumber(div.attributes.shift or '0')
  local blocks = pandoc.List()
  local dropped_title = false
  for _, block in ipairs(pandoc.read(text, 'markdown').blocks) do
    if block.t == 'Header' and block.level == 1 and not dropped_title then
      dropped_title = true
    else
      if block.t == 'Header' then block.level = math.max(1, block.level + shift) end
      blocks:insert(block)
    end
  end
  return blocks
end

local function link(el)
  local doc = el.target:match('^([%w._-]+%.md)$') or el.target:match('^([%w._-]+%.md)#')
  if not doc then return nil end
  local page = pages[doc]
  if not page then error('manpage.lua: no manual page carries ' .. doc .. ', linked as ' .. el.target) end
  local text = pandoc.utils.stringify(el.content)
  if page == this_page then return el.content end
  local name, section = page:match('^(.*)(%(%w+%))$')
  local ref = { pandoc.Strong({ pandoc.Str(name) }), pandoc.Str(section) }
  if text == doc then return ref end
  local out = pandoc.List(el.content)
  out:insert(pandoc.Space())
  out:insert(pandoc.Str('('))
  out:extend(ref)
  out:insert(pandoc.Str(')'))
  return out
end

-- Room is shared out from the narrowest column up: each column gets what its
-- longest cell needs (up to 40 characters; capitals and the typewriter font of
-- names are wider than the n that tbl counts in, on paper), at most two fifths
-- of the room, and the widest gets the rest; but no column is narrower than
-- its longest word, which cannot wrap. So long text wraps in the room beside
-- names and words, and no line fails to break.
local room = 0.8 * 70
local function table_width(tbl)
  local longest, word = {}, {}
  local function measure(rows)
    for _, row in ipairs(rows) do
      for i, cell in ipairs(row.cells) do
        local length = 0
        local function note(w) word[i] = math.max(word[i] or 0, w) end
        pandoc.walk_block(pandoc.Div(cell.contents), {
          Str = function(s)
            local w = 0
            for _, c in utf8.codes(s.text) do w = w + ((c >= 65 and c <= 90) and 1.25 or 0.85) end
            length = length + w
            note(w)
          end,
          Code = function(c)
            length = length + 1.2 * utf8.len(c.text)
            for piece in c.text:gmatch('%S+') do note(1.2 * utf8.len(piece) + 1) end
          end,
          Space = function() length = length + 1 end,
        })
        longest[i] = math.max(longest[i] or 4, math.min(length, 40))
      end
    end
  end
  measure(tbl.head.rows)
  for _, body in ipairs(tbl.bodies) do measure(body.body) end
  local order = {}
  for i = 1, #tbl.colspecs do order[i] = i end
  table.sort(order, function(a, b) return (longest[a] or 4) < (longest[b] or 4) end)
  local width, slack, used = {}, 0, 0
  local widest = order[#order]
  for k, i in ipairs(order) do
    if k < #order then
      width[i] = math.max(math.min(1.2 * (longest[i] or 4) + 1, 0.4 * room), word[i] or 0)
      slack = slack + width[i] - (word[i] or 0)
      used = used + width[i]
    end
  end
  width[widest] = math.max(room - used, word[widest] or 0)
  -- What the widest column's words take beyond the room comes out of the
  -- others' room above their own words.
  local over = math.min(width[widest] + used - room, slack)
  if over > 0 then
    for k, i in ipairs(order) do
      if k < #order then width[i] = width[i] - over * (width[i] - (word[i] or 0)) / slack end
    end
  end
  local specs = tbl.colspecs
  for i, spec in ipairs(specs) do specs[i] = { spec[1], width[i] / 70 } end
  tbl.colspecs = specs
  return tbl
end

-- Section names in upper case, as man pages spell them.
local function section_name(header)
  if header.level ~= 1 then return nil end
  return pandoc.walk_block(header, {
    Str = function(s) return pandoc.Str(pandoc.text.upper(s.text)) end,
    Code = function(c) return pandoc.Code(pandoc.text.upper(c.text)) end,
  })
end

return {
  { Meta = read_meta },
  { Div = include },
  { Link = link, Table = table_width, Header = section_name },
}
