#!/usr/bin/env bash
# Fails on two types whose files include each other (one's header or source includes the
# other's header, and the other way round): the lower of the two should know the upper one
# through a small interface or a forward declaration instead. A type's files are its header,
# its source and the sources without a header of their own whose names begin with its name
# (ConnectTunnelHttp.cpp is ConnectTunnel's).
# Usage: scripts/check-mutual-includes.sh [source root]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

folders="platform proxy/io Model/Tools proxy/engine proxy/tls proxy/recording proxy/tools PacketTunnel host"
# A type split across its own private files, whose private header and the type's own
# header include each other by design.
allowed="platform/AsyncTcpSocket>platform/AsyncTcpSocketCore"

existing=()
for folder in $folders; do
    [[ -d $folder ]] && existing+=("$folder")
done

{
    find "${existing[@]}" -name '*.h' -printf 'H %p\n'
    grep -rHE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "${existing[@]}" \
        --include='*.h' --include='*.cpp' --include='*.c' || true
} | awk -v allowed="$allowed" '
function stem(path) { sub(/\.[^.\/]*$/, "", path); return path }
function dir(path) { if (path !~ /\//) return ""; sub(/\/[^\/]*$/, "", path); return path }
# The type a file belongs to.
function unit(file,    s, d, name, best, h) {
    s = stem(file)
    if (file ~ /\.h$/ || (s in header)) return s
    d = dir(file); name = substr(s, length(d) + 2); best = ""
    for (h in header)
        if (dir(h) == d && index(name, substr(h, length(d) + 2)) == 1 && (best == "" || length(h) < length(best)))
            best = h
    return best == "" ? s : best
}
$1 == "H" { header[stem($2)] = 1; next }
{
    file = $0; sub(/:.*/, "", file)
    text = substr($0, length(file) + 2)
    if (!match(text, /"[^"]+"/)) next
    target = substr(text, RSTART + 1, RLENGTH - 2)
    if (target !~ /\//) target = dir(file) "/" target # a header beside the file
    to = stem(target)
    if (!(to in header)) next # a dependency
    if (!(file in unitOf)) unitOf[file] = unit(file)
    from = unitOf[file]
    if (from == to) next
    edge[from ">" to] = (edge[from ">" to] == "" ? "" : edge[from ">" to] " ") file
}
END {
    n = split(allowed, pairs, " ")
    for (i = 1; i <= n; i++) ok[pairs[i]] = 1
    status = 0
    for (e in edge) {
        split(e, ends, ">")
        back = ends[2] ">" ends[1]
        if (ends[1] < ends[2] && (back in edge) && !(e in ok) && !(back in ok)) {
            print ends[1] " and " ends[2] " include each other (" edge[e] "; " edge[back] ")"
            status = 1
        }
    }
    exit status
}'
