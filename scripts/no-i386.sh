#!/usr/bin/env bash
# Runs a command as on a host that runs 64-bit code only, on a host that runs
# 32-bit x86 code too:
#
#   scripts/no-i386.sh command [args...]
#
# The command runs in a mount namespace of its own, where Wine's 32-bit
# programs (its loader and 32-bit server) are covered by copies that the
# kernel refuses to execute with "Exec format error", as a 64-bit-only kernel
# refuses the real ones. Wine then cannot start any 32-bit process, so a
# prefix made in there gets no 32-bit half, exactly as on such a host, and
# scripts/wine-env.sh finds KORV_HOST_I386=0. Nothing outside the namespace
# changes. Needs root, or unprivileged user namespaces for another user (who
# stays himself inside).
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 command [args...]" >&2; exit 2; }
self=$(realpath "$0")
covered=(/usr/lib/wine/wine /usr/lib/wine/wineserver32)

case "${KORV_NO_I386_STEP:-}" in
"")
    # Outside: enter a mount namespace (through a user namespace unless root).
    if [ "$(id -u)" -eq 0 ]; then
        ns=(unshare --mount --propagation private)
    else
        ns=(unshare --user --map-root-user --mount --propagation private)
    fi
    if ! KORV_NO_I386_STEP=mount KORV_NO_I386_UID=$(id -u) KORV_NO_I386_GID=$(id -g) \
        "${ns[@]}" true 2>/dev/null; then
        echo "no-i386: cannot make a mount namespace here (needs root or unprivileged" \
             "user namespaces): the 64-bit-only road cannot be forced" >&2
        exit 3
    fi
    KORV_NO_I386_STEP=mount KORV_NO_I386_UID=$(id -u) KORV_NO_I386_GID=$(id -g) \
        exec "${ns[@]}" "$self" "$@"
    ;;
mount)
    # Inside, still with the rights to mount: cover the 32-bit programs.
    stand_ins=$(mktemp -d)
    for f in "${covered[@]}"; do
        [ -e "$f" ] || continue
        copy="$stand_ins/$(basename "$f")"
        cp "$f" "$copy"
        # e_machine 0 (no machine): a valid ELF header that no kernel executes.
        printf '\000\000' | dd of="$copy" bs=1 seek=18 count=2 conv=notrunc status=none
        mount --bind "$copy" "$f"
    done
    # The mounts keep the copies alive; nothing is left in the temporary folder.
    rm -rf "$stand_ins"
    unset KORV_NO_I386_STEP
    if [ "$KORV_NO_I386_UID" -ne 0 ]; then
        # Back to the caller's own user, whose files and Wine server folder these are.
        exec unshare --user --map-user="$KORV_NO_I386_UID" --map-group="$KORV_NO_I386_GID" "$@"
    fi
    exec "$@"
    ;;
*)
    echo "no-i386: unexpected KORV_NO_I386_STEP=$KORV_NO_I386_STEP" >&2
    exit 2
    ;;
esac
