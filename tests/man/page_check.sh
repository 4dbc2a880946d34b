#!/bin/sh
# Checks of a built manual page.
#
#   page_check.sh render PAGE             groff -ww, man --warnings (80 columns) and
#                                         lexgrog take it without a word
#   page_check.sh cli11 PAGE PROGRAM      every command, option and positional of
#                                         PROGRAM --help and PROGRAM COMMAND --help
#                                         (CLI11) is in the page, a command's own in
#                                         its section (a subsection "PROGRAM COMMAND");
#                                         each help ends naming the page
#   page_check.sh usage PAGE PROGRAM      every option of the usage text PROGRAM
#                                         prints when called without arguments is in
#                                         the page, every command ("PAGE COMMAND") too
# The lists come from the programs at test time, so an option added later
# fails here until its page says what it does.
set -u
mode=$1 page=$2
shift 2
fail() {
    echo "page_check: $page: $*" >&2
    exit 1
}
[ -s "$page" ] || fail "no page"
# The page's name: korvo for korvo.1.
name=${page##*/}
name=${name%.*}

# The page as text, lines unbroken and words unhyphenated, for the searches.
text=$(mktemp)
trap 'rm -f "$text" "$text.err"' EXIT
groff -man -t -Tascii -P-cbou -rHY=0 -rLL=1000n "$page" >"$text" 2>"$text.err" ||
    fail "groff cannot render it: $(cat "$text.err")"

# has <text file> <word>: the word stands alone (not inside a longer option or name).
has() {
    grep -qE -- "(^|[^A-Za-z0-9_-])$(printf '%s' "$2" | sed 's/[.[\*^$]/\\&/g')([^A-Za-z0-9_-]|$)" "$1"
}

case $mode in
render)
    out=$(groff -ww -z -t -man "$page" 2>&1) || fail "groff failed: $out"
    [ -z "$out" ] || fail "groff -ww warns:
$out"
    out=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || fail "man -l failed: $out"
    [ -z "$out" ] || fail "man --warnings -l warns at 80 columns:
$out"
    whatis=$(lexgrog "$page") || fail "lexgrog finds no NAME line: $whatis"
    case $whatis in *' - '*) ;; *) fail "lexgrog's whatis entry has no description: $whatis" ;; esac
    echo "$whatis"
    ;;
cli11)
    program=$1
    # items <help text>: the first word of each entry under the named headings.
    items() {
        printf '%s\n' "$1" | awk -v want="$2" '
            /^[A-Za-z]+:$/ { on = index(" " want " ", " " tolower($0) " ") > 0; next }
            /^$/ { on = 0 }
            on && /^  [^ ]/ { print $1 }' | tr ',' '\n'
    }
    top=$("$program" --help) || fail "$program --help failed"
    commands=$(items "$top" "subcommands:")
    [ -n "$commands" ] || fail "$program --help lists no commands"
    printf '%s\n' "$top" | grep -v '^$' | tail -n 1 | grep -qF "$name(" ||
        fail "$program --help does not end naming its page"
    global=$(items "$top" "options:")
    missing=""
    for option in $global; do
        has "$text" "$option" || missing="$missing $option"
    done
    section=$(mktemp)
    for command in $commands; do
        # The command's subsection: from its heading to the next heading.
        awk -v head="   $name $command" '
            index($0, head) == 1 && (length($0) == length(head) || substr($0, length(head) + 1, 1) == " ") { on = 1; next }
            on && /^ {0,3}[^ ]/ { on = 0 }
            on' "$text" >"$section"
        if [ ! -s "$section" ]; then
            missing="$missing $command(no section '$name $command')"
            continue
        fi
        help=$("$program" "$command" --help) || fail "$program $command --help failed"
        printf '%s\n' "$help" | grep -v '^$' | tail -n 1 | grep -qF "$name(" ||
            missing="$missing $command(--help does not end naming $name(N))"
        for item in $(items "$help" "options: positionals:"); do
            case " $global " in *" $item "*) continue ;; esac
            has "$section" "$item" || missing="$missing $command:$item"
        done
    done
    rm -f "$section"
    [ -z "$missing" ] || fail "not in the page:$missing"
    echo "$page: $(printf "%s\n" "$commands" | grep -c .) commands, every option and positional documented"
    ;;
usage)
    program=$1
    usage=$("$program" 2>&1 </dev/null)
    options=$(printf '%s\n' "$usage" | tr ' ' '\n' | tr -d '[],' | grep -E '^(-[A-Za-z]|--[a-z][a-z0-9-]*)$' | sort -u)
    [ -n "$options" ] || fail "$program printed no options: $usage"
    commands=$(printf '%s\n' "$usage" | awk -v name="$name" '
        { for (i = 1; i < NF; ++i) if ($i == name && $(i + 1) ~ /^[a-z][a-z-]*$/) print $(i + 1) }' | sort -u)
    missing=""
    for item in $options; do
        has "$text" "$item" || missing="$missing $item"
    done
    # A command is named with the program, as its synopsis or section would.
    for item in $commands; do
        grep -qE -- "(^|[^A-Za-z0-9_-])$name $item([^A-Za-z0-9_-]|$)" "$text" || missing="$missing '$name $item'"
    done
    [ -z "$missing" ] || fail "not in the page:$missing"
    echo "$page: $(printf "%s\n" "$options" | grep -c .) options and $(printf "%s\n" "$commands" | grep -c .) commands documented"
    ;;
*)
    fail "unknown mode $mode"
    ;;
esac
