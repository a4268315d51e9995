#!/usr/bin/env bash
# Checks who may include whom. An include is looked up beside the file, then
# from the top of the tree, then from tests/ (the tests' own include root).
#
# The program's floors, bottom up: base -> link -> protocol -> console -> app.
#   - A file includes its own folder and the floors below it, never one above;
#     base includes nothing of ours.
#   - link/drivers/ (the back ends) is included only by the code that installs
#     a driver (app/main.cpp), by itself, and by tests and benchmarks.
# virtual_loom/ is a controller behind the driver ABI, not a part of the
# program: it includes itself, base/, and of link/ only the ABI it implements
# (link/d2xx.h, link/driver.h); of the program's files only app/demo_main.cpp
# includes it.
# tests/ and bench/ may include anything, and nothing else includes them.
# In every folder, two files (a .cpp counting with its header) never include
# each other: the shared piece belongs lower.
set -euo pipefail
cd "$(dirname "$0")/.."

floor() {
    case "$1" in
        base/*) echo 0 ;;
        link/*) echo 1 ;;
        protocol/*) echo 2 ;;
        console/*) echo 3 ;;
        app/*) echo 4 ;;
        *) echo "" ;;
    esac
}

# The file an include names, or nothing when it is not ours (a system header,
# a generated one).
resolve() { # file include
    local candidate
    for candidate in "$(dirname "$1")/$2" "$2" "tests/$2"; do
        if [ -f "$candidate" ]; then
            case "$candidate" in
                *..*) realpath --relative-to=. "$candidate" ;;
                *) echo "$candidate" ;;
            esac
            return
        fi
    done
}

status=0
complain() {
    echo "check-includes: $1" >&2
    status=1
}

declare -A includes
while IFS= read -r file; do
    from=$(floor "$file")
    while IFS= read -r name; do
        [ -n "$name" ] || continue
        inc=$(resolve "$file" "$name")
        [ -n "$inc" ] || continue
        includes["$file"]+="$inc "
        case "$file" in
            tests/* | bench/*) continue ;;
        esac
        case "$inc" in
            tests/* | bench/*)
                complain "$file includes $inc, which is for tests and benchmarks"
                continue
                ;;
        esac
        case "$file" in
            virtual_loom/*)
                case "$inc" in
                    virtual_loom/* | base/* | link/d2xx.h | link/driver.h) ;;
                    *) complain "$file (virtual loom) includes $inc" ;;
                esac
                continue
                ;;
        esac
        to=$(floor "$inc")
        if [ -z "$to" ]; then
            case "$inc" in
                virtual_loom/*) [ "$file" = app/demo_main.cpp ] || complain "$file includes $inc" ;;
            esac
            continue
        fi
        if [ "$from" = 0 ] && [ "$(dirname "$inc")" != base ]; then
            complain "$file (base) includes $inc"
        elif [ "$to" -gt "$from" ]; then
            complain "$file includes $inc, a floor above it"
        fi
        case "$inc" in
            link/drivers/*)
                case "$file" in
                    app/main.cpp | link/drivers/*) ;;
                    *) complain "$file includes the back end $inc" ;;
                esac
                ;;
        esac
    done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done < <(git ls-files --cached --others --exclude-standard 'base/*' 'link/*' 'protocol/*' \
    'console/*' 'app/*' 'virtual_loom/*' 'tests/*' 'bench/*' | grep -E '\.(h|c|cpp)$')

# Two files of one folder that include each other, counting a .cpp with its header.
module() { echo "${1%.*}"; }
declare -A uses
for file in "${!includes[@]}"; do
    for inc in ${includes[$file]}; do
        a=$(module "$file")
        b=$(module "$inc")
        [ "$a" != "$b" ] && [ "$(dirname "$a")" = "$(dirname "$b")" ] && uses["$a>$b"]=1
    done
done
for pair in "${!uses[@]}"; do
    a=${pair%%>*}
    b=${pair##*>}
    if [[ "$a" < "$b" ]] && [ -n "${uses["$b>$a"]:-}" ]; then
        complain "$a and $b include each other"
    fi
done

[ $status = 0 ] && echo "check-includes: floors kept"
exit $status
