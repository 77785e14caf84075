#!/usr/bin/env bash
# Runs one program of an ARM cross build under qemu user mode, only ever inside a sandbox
# of its own:
#   - user, mount and PID namespaces, uids and gids 0-65535 mapped as they are (the broker
#     drops its privileges to its own user);
#   - a private binfmt_misc that hands ARM programs to qemu (flag F), so that a test can
#     start the ARM terminal or simulator as it does natively;
#   - a preloaded shim (emulation/nopidfd.c) that sends Qt's QProcess back to plain fork.
# Why: under qemu-user, Qt 5.15's QProcess believes pidfds work, the clone fails and the
# "started" child has the id -1, which QProcess::kill() turns into kill(-1, SIGKILL): every
# process the caller may signal. Here that is the sandbox at most, never the machine.
# Before the program, a probe (emulation/probe.c) checks under the emulator that all of
# this is in place; nothing is run when it is not.
#
#   scripts/emulate.sh [--cache=DIR] arm64|armhf PROGRAM [ARGS...]
#   scripts/emulate.sh --check-host     only the check of the machine's binfmt_misc below
#
# The cross builds use it as CMAKE_CROSSCOMPILING_EMULATOR (cmake/toolchains) for every
# test program under CTest, with the helpers cached in the build directory; nothing runs
# under it at build time. Needs root (the id mapping) and Linux 6.7 or later (binfmt_misc
# in a user namespace). Refuses while the machine itself hands ARM programs to qemu.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
self="$here/$(basename "${BASH_SOURCE[0]}")"

fail() {
    echo "emulate.sh: $*" >&2
    exit 125
}

# qemu's formats registered for the whole machine (qemu-user-static's binfmt.d files, which
# systemd-binfmt loads when the package is installed and at every boot, or binfmt-support)
# run any ARM program started by hand outside a sandbox and without the shim: with root, a
# kill(-1) then ends every process of the machine. With "boot", formats left to be
# registered at the next boot are told as well.
check_host() {
    local entries=/proc/sys/fs/binfmt_misc fmt found=()
    for fmt in aarch64 arm; do
        if [ -e "$entries/qemu-$fmt" ] && [ "$(head -n 1 "$entries/qemu-$fmt")" != disabled ]; then
            found+=("qemu-$fmt")
        elif [ "${1:-}" = boot ] && [ -e "/usr/lib/binfmt.d/qemu-$fmt.conf" ] &&
            [ ! -e "/etc/binfmt.d/qemu-$fmt.conf" ]; then
            echo "emulate.sh: warning: qemu-$fmt would be registered for the whole machine at" \
                "the next boot; mask it: ln -s /dev/null /etc/binfmt.d/qemu-$fmt.conf" >&2
        fi
    done
    [ ${#found[@]} -eq 0 ] && return 0
    {
        echo "emulate.sh: ${found[*]} registered in the machine's binfmt_misc: ARM programs"
        echo "  would run outside the sandbox (no PID namespace, no shim). Nothing run. To undo:"
        for fmt in "${found[@]}"; do
            echo "    ln -s /dev/null /etc/binfmt.d/$fmt.conf     # not at the next boot"
            echo "    echo -1 > $entries/$fmt    # now (or: systemctl restart systemd-binfmt)"
            echo "    update-binfmts --disable $fmt    # with binfmt-support"
        done
    } >&2
    exit 125
}

# The stages below run as the same process, each in the namespaces the last one made.
stage=outer
cache=""
case "${1:-}" in
    --mapped | --inside) stage="${1#--}"; shift ;;
    --check-host) check_host boot; exit 0 ;;
    --cache=*) cache="${1#--cache=}"; shift ;;
esac

arch="${1:-}"
case "$arch" in
    arm64) qemu=aarch64 triplet=aarch64-linux-gnu ;;
    armhf) qemu=arm triplet=arm-linux-gnueabihf ;;
    *) echo "usage: $0 [--cache=DIR] arm64|armhf PROGRAM [ARGS...] | --check-host" >&2; exit 2 ;;
esac
shift

# The helpers are preloaded as root: their directory must be ours alone, in a parent no one
# else can swap it out of (one of ours or root's, or a sticky one such as /tmp).
private_dir() {
    local dir="$1" owner mode
    # Tests start side by side: another may make it at the same moment (checked below).
    mkdir -p "$(dirname "$dir")" && { mkdir -m 700 "$dir" 2>/dev/null || [ -d "$dir" ]; } ||
        fail "cannot create $dir"
    [ -d "$dir" ] && [ ! -L "$dir" ] || fail "$dir is not a directory: not used"
    read -r owner mode < <(stat -c '%u %a' "$dir")
    [ "$owner" = "$(id -u)" ] || fail "$dir belongs to uid $owner, not to us: not used"
    ((8#$mode & 8#022)) && fail "$dir is writable by group or others: not used"
    read -r owner mode < <(stat -L -c '%u %a' "$(dirname "$dir")")
    if [ "$owner" != "$(id -u)" ] && [ "$owner" != 0 ] ||
        { ((8#$mode & 8#022)) && ! ((8#$mode & 8#1000)); }; then
        fail "$(dirname "$dir") could be changed by others: $dir not used"
    fi
}

# The shim for the target and for the host (native programs started in the sandbox inherit
# LD_PRELOAD, which names it through $LIB) and the probe, built once per version. The
# cross builds keep them in the build directory; by hand, in the user's runtime or cache
# directory.
helpers_dir() {
    local key dir host
    [ -n "$cache" ] || cache="${XDG_RUNTIME_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}}/kvrt-emulation"
    private_dir "$cache"
    key="$(cat "$here"/emulation/*.c | sha1sum | cut -c1-12)"
    dir="$cache/$key"
    if [ ! -e "$dir/ready-$arch" ]; then
        host="$(gcc -dumpmachine)"
        (
            flock 9
            if [ ! -e "$dir/ready-$arch" ]; then
                mkdir -p "$dir/lib/$host" "$dir/lib/$triplet"
                gcc -shared -fPIC -O2 -o "$dir/lib/$host/libkvrt-nopidfd.so" \
                    "$here/emulation/nopidfd.c" -ldl
                "$triplet-gcc" -shared -fPIC -O2 -o "$dir/lib/$triplet/libkvrt-nopidfd.so" \
                    "$here/emulation/nopidfd.c" -ldl
                "$triplet-gcc" -O2 -o "$dir/probe-$arch" "$here/emulation/probe.c"
                touch "$dir/ready-$arch"
            fi
        ) 9>"$cache/lock" >&2 || fail "cannot build the emulation helpers (crossbuild-essential-$arch)"
    fi
    echo "$dir"
}

case "$stage" in
outer)
    [ $# -ge 1 ] || fail "no program given"
    [ "$(id -u)" -eq 0 ] || fail "needs root: the sandbox maps uids and gids 0-65535"
    check_host
    command -v "qemu-$qemu-static" >/dev/null || fail "qemu-$qemu-static is missing (qemu-user-static)"
    helpers="$(helpers_dir)"
    outer_ns="$(readlink /proc/self/ns/pid)"
    user_ns="$(readlink /proc/self/ns/user)"
    # This process enters a new user namespace by the exec below; mapped from out here,
    # as only the parent namespace's root can map a range.
    (
        for _ in $(seq 1000); do
            ns="$(readlink "/proc/$$/ns/user" 2>/dev/null)" || exit 0
            if [ "$ns" != "$user_ns" ]; then
                echo "0 0 65536" >"/proc/$$/uid_map" && echo "0 0 65536" >"/proc/$$/gid_map"
                exit 0
            fi
            sleep 0.01
        done
    ) &
    exec unshare --user -- "$self" --mapped "$arch" "$helpers" "$outer_ns" "$@"
    ;;
mapped)
    for _ in $(seq 1000); do
        [ -n "$(cat /proc/self/uid_map)" ] && break
        sleep 0.01
    done
    [ -n "$(cat /proc/self/uid_map)" ] || fail "the user namespace was not mapped"
    # Executed as the mapped root: with every capability inside the namespaces. The PID
    # namespace's init dies with this process, and every process in it with the init.
    exec unshare --mount --propagation private --pid --fork --kill-child --mount-proc -- \
        "$self" --inside "$arch" "$@"
    ;;
inside)
    helpers="$1" outer_ns="$2"
    shift 2
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc ||
        fail "cannot mount a private binfmt_misc (Linux 6.7 or later is needed)"
    cat "/usr/lib/binfmt.d/qemu-$qemu.conf" >/proc/sys/fs/binfmt_misc/register ||
        fail "cannot register qemu-$qemu-static"
    # $LIB: the loader of each architecture picks its own build of the shim.
    export LD_PRELOAD="$helpers/\$LIB/libkvrt-nopidfd.so${LD_PRELOAD:+:$LD_PRELOAD}"
    "$helpers/probe-$arch" "$outer_ns" || fail "the sandbox is not in place: nothing run"
    # This shell stays the namespace's init, which reaps what the program leaves behind.
    "$@" &
    status=0
    wait $! || status=$?
    exit "$status"
    ;;
esac
