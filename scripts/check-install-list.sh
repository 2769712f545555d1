#!/usr/bin/env bash
# Checks that what the build and the tests use comes from the list in scripts/install-deps.sh
# (or from what those packages pull in, or from what every Debian has): every file under /usr
# that the last build in the build folder read (ninja's dependency log: headers, JUCE's
# modules), and every command in the list's `commands`. A machine that already has a package
# hides its missing line: everything passes there and fails on a fresh Debian 12. This tells
# in a second or two, from the installed packages alone.
#   scripts/check-install-list.sh [build folder, default build/]
# Prints a line per file or command at fault and exits 1 if there is any.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"

# The two lists, as install-deps.sh has them.
eval "$(sed -n '/^packages=(/,/^)/p; /^commands=(/,/^)/p' "$root/scripts/install-deps.sh")"

# The packages that the listed ones pull in, read from the installed packages' own Depends,
# Pre-Depends and Provides, together with the required ones that every Debian has.
closure="$(dpkg-query -W -f='${Package}\t${Priority}\t${Pre-Depends}, ${Depends}\t${Provides}\n' \
    | awk -F'\t' -v listed="${packages[*]}" '
        function names(field, out,   parts, n, i, name) {
            n = split(field, parts, /[,|]/)
            for (i = 1; i <= n; i++) {
                name = parts[i]
                sub(/^ +/, "", name)
                sub(/[ :(].*/, "", name)
                if (name != "") out[name] = 1
            }
        }
        {
            installed[$1] = 1
            depends[$1] = $3
            delete provided
            names($4, provided)
            for (v in provided) providers[v] = providers[v] " " $1
            if ($2 == "required") queue[++last] = $1
        }
        END {
            queue[++last] = "apt"
            n = split(listed, start, " ")
            for (i = 1; i <= n; i++) queue[++last] = start[i]
            for (at = 1; at <= last; at++) {
                p = queue[at]
                if (p in seen) continue
                seen[p] = 1
                delete next_names
                names(depends[p], next_names)
                for (d in next_names) {
                    if (d in installed) queue[++last] = d
                    m = split(providers[d], via, " ")
                    for (j = 1; j <= m; j++) queue[++last] = via[j]
                }
            }
            for (p in seen) if (p in installed) print p
        }')"

declare -A in_closure
for p in $closure; do in_closure[$p]=1; done
faults=0

# Owner lines "pkg[:arch][, pkg...]: path"; diversions and unowned files (/usr/local) aside.
check_owners() {
    local what="$1" line owners path owner ok
    while IFS= read -r line; do
        [[ "$line" == diversion* ]] && continue
        owners="${line%%: /*}"
        path="${line#"$owners": }"
        ok=0
        for owner in ${owners//,/ }; do
            [ -n "${in_closure[${owner%%:*}]:-}" ] && ok=1
        done
        if [ "$ok" -eq 0 ]; then
            echo "check-install-list: $what $path comes from $owners," \
                 "which scripts/install-deps.sh does not install"
            faults=$((faults + 1))
        fi
    done
}

[ -f "$build/.ninja_deps" ] || { echo "check-install-list: no ninja build in $build"; exit 1; }
mapfile -t used < <(ninja -C "$build" -t deps | awk '$1 ~ /^\/usr\// { print $1 }' | sort -u \
                        | xargs -r realpath -e 2>/dev/null | sort -u)
check_owners "the build's" < <(dpkg -S "${used[@]}" 2>/dev/null || true)

for c in "${commands[@]}"; do
    if ! path="$(command -v "$c")"; then
        echo "check-install-list: the command $c is not installed"
        faults=$((faults + 1))
        continue
    fi
    owner_line="$(dpkg -S "$(realpath -e "$path")" 2>/dev/null \
                  || dpkg -S "$path" 2>/dev/null || true)"
    if [ -z "$owner_line" ]; then
        echo "check-install-list: the command $c ($path) comes from no package"
        faults=$((faults + 1))
        continue
    fi
    check_owners "the command $c:" <<<"$owner_line"
done

if [ "$faults" -ne 0 ]; then
    exit 1
fi

echo "check-install-list: the build's ${#used[@]} files under /usr and the ${#commands[@]} commands" \
     "all come from the list"
