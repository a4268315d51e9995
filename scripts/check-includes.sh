#!/usr/bin/env bash
# Checks the floors: base -> link -> protocol -> console -> app. A file includes
# its own folder and the floors below it, never one above; base includes nothing
# of ours; two files of one folder never include each other; only the code that
# installs a driver (app/) and tests include link/drivers/ or virtual_loom/.
set -euo pipefail
cd "$(dirname "$0")/.."

floor() {
    case "$1" in
        base/*) echo 0 ;;
        link/drivers/*) echo 1 ;;
        link/*) echo 1 ;;
        protocol/*) echo 2 ;;
        console/*) echo 3 ;;
        app/*) echo 4 ;;
        *) echo "" ;;
    esac
}

status=0
complain() {
    echo "check-includes: $1" >&2
    status=1
}

declare -A includes
while IFS= read -r file; do
    from=$(floor "$file")
    [ -n "$from" ] || continue
    dir=$(dirname "$file")
    while IFS= read -r inc; do
        [ -n "$inc" ] || continue
        includes["$file"]+="$inc "
        to=$(floor "$inc")
        [ -n "$to" ] || {
            case "$inc" in
                virtual_loom/*) [ "$file" = app/demo_main.cpp ] || complain "$file includes $inc" ;;
            esac
            continue
        }
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
done < <(git ls-files --cached --others --exclude-standard 'base/*' 'link/*' 'protocol/*' 'console/*' 'app/*' | grep -E '\.(h|cpp)$')

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
