#!/usr/bin/env bash
# Fails on an include that runs against the layers: each folder may include only its own
# headers and those of the folders below it. Every library puts the source root on its
# include path, so the compiler alone would let any include through.
# Usage: scripts/check-layers.sh [source root]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

# folder: the folders it may include besides itself
declare -A below=(
    [platform]=""
    [proxy/io]="platform"
    [Model/Tools]="platform"
    [proxy/engine]="platform proxy/io Model/Tools"
    [proxy/tls]="platform proxy/io Model/Tools proxy/engine"
    [proxy/recording]="platform proxy/io Model/Tools proxy/engine"
    [proxy/tools]="platform proxy/io Model/Tools proxy/engine"
    [PacketTunnel]="platform proxy/io Model/Tools proxy/engine proxy/tls proxy/recording proxy/tools"
    [host]="platform proxy/io Model/Tools proxy/engine proxy/tls proxy/recording proxy/tools PacketTunnel"
)
layered="platform proxy/io Model/Tools proxy/engine proxy/tls proxy/recording proxy/tools PacketTunnel host"

status=0
for folder in $layered; do
    [[ -d $folder ]] || continue
    allowed=" $folder ${below[$folder]} "
    while IFS=: read -r file line text; do
        [[ $text =~ \"([^\"]+)\" ]] || continue
        target=${BASH_REMATCH[1]}
        [[ $target == */* ]] || continue # a header beside the file
        owner=
        for candidate in $layered; do
            [[ $target == "$candidate"/* ]] && owner=$candidate
        done
        [[ -n $owner ]] || continue # a dependency's header (lwip/..., asio/...)
        if [[ $allowed != *" $owner "* ]]; then
            echo "$file:$line: $folder may not include $target ($owner is not below it)"
            status=1
        fi
    done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$folder" --include='*.h' --include='*.cpp' --include='*.c' || true)
done
exit $status
